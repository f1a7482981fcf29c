# Reads every #include "dir/..." and <dir/...> of the program's folders and fails on an edge
# against the layering: platform <- config, log, libs <- scale <- ecr <- ui, app. Also fails on
# a Qt header below ui/, on client/ (kestrin, ecrctl) including anything outside client/, on
# tools/ (boardsim) reaching into scale/ past the two board codecs, and on any include path
# that steps with . or ..
#   cmake -DROOT=<source tree> -P check_layering.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT ROOT)
  message(FATAL_ERROR "ROOT not set")
endif()

# What each folder may include besides itself. ecr/ reaches scale/ only for the snapshot type
# and the Scale interface, never a driver; config/ takes the manufacturer text from the scale library; the board simulator speaks
# the wire through the scale's codecs and knows nothing of its drivers.
set(allowed_platform "")
set(allowed_libs "platform")
set(allowed_log "platform")
set(allowed_config "platform;libs")
set(allowed_scale "platform;config;log;libs")
set(allowed_ecr "platform;config;log;libs;scale/weighing_snapshot.h;scale/scale.h")
set(allowed_ui "platform;config;log;libs;scale;ecr")
set(allowed_app "platform;config;log;libs;scale;ecr;ui")
set(allowed_client "")
set(allowed_tools "platform;scale/xon_board_codec.h;scale/letter_board_codec.h")
set(layers platform libs log config scale ecr ui app client tools)
set(project_folders platform libs log config scale ecr ui app client tools tests bench)
set(below_ui platform libs log config scale ecr)

set(errors "")
foreach(layer IN LISTS layers)
  file(GLOB_RECURSE sources "${ROOT}/${layer}/*.h" "${ROOT}/${layer}/*.hpp" "${ROOT}/${layer}/*.cpp"
       "${ROOT}/${layer}/*.cc")
  foreach(source IN LISTS sources)
    file(RELATIVE_PATH where "${ROOT}" "${source}")
    file(STRINGS "${source}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    foreach(line IN LISTS lines)
      if(NOT line MATCHES "#[ \t]*include[ \t]*[<\"]([^>\"]*)[>\"]")
        continue()
      endif()
      set(header "${CMAKE_MATCH_1}")
      if(header MATCHES "^Q[A-Za-z]*$" OR header MATCHES "^Qt[A-Za-z]*/" OR header MATCHES "^q[a-z]+\\.h$")
        if(layer IN_LIST below_ui)
          list(APPEND errors "${where}: Qt below ui/: <${header}>")
        endif()
        continue()
      endif()
      # A step up or a step in place could walk out of any folder the rules name.
      if(header MATCHES "(^|/)\\.\\.?(/|$)" OR header MATCHES "//")
        list(APPEND errors "${where}: a path with . or .. or //: \"${header}\"")
        continue()
      endif()
      if(NOT header MATCHES "^([^/]+)/")
        continue()  # the standard library, or a file beside this one
      endif()
      set(folder "${CMAKE_MATCH_1}")
      if(NOT folder IN_LIST project_folders OR folder STREQUAL layer)
        continue()
      endif()
      if(folder IN_LIST allowed_${layer} OR header IN_LIST allowed_${layer})
        continue()
      endif()
      list(APPEND errors "${where}: ${layer}/ may not include \"${header}\"")
    endforeach()
  endforeach()
endforeach()

if(errors)
  list(JOIN errors "\n" report)
  message(FATAL_ERROR "layering broken:\n${report}")
endif()
message(STATUS "layering kept")
