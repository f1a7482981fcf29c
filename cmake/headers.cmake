# Each library target exports the headers of its own folder only, so that a module can include
# another's headers only by linking it: the layering is kept by the build, not by habit.
# tarvelo_headers(TARGET FOLDER [FILES header...]) makes an include root in the build tree that
# holds FOLDER (or only the named headers of it) and gives it to TARGET's users.
function(tarvelo_headers target folder)
  cmake_parse_arguments(H "" "" "FILES" ${ARGN})
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  if(H_FILES)
    file(MAKE_DIRECTORY ${root}/${folder})
    foreach(header IN LISTS H_FILES)
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder}/${header} ${root}/${folder}/${header} SYMBOLIC)
    endforeach()
  else()
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
