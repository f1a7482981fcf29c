#pragma once
// kestrin's own connection to the scale's pipe (a Unix-domain stream socket).

#include <memory>
#include <string>

namespace kestrin {

// Empty when the pipe NAME may be opened; else why not. NAME must be a plain file name, and
// the private directory under /tmp (used without XDG_RUNTIME_DIR) must be a real directory of
// this user's with no group or other access: a socket in anybody else's directory may answer
// with anybody's weights.
std::string pipe_place_problem(const std::string& name);
// That test of a directory on its own.
std::string private_dir_problem(const std::string& dir);

class Link {
public:
    virtual ~Link() = default;
    virtual bool write(const std::string& bytes) = 0;
    enum class Read { byte, timeout, failed };
    virtual Read read_byte(char& out, int timeout_ms) = 0;
};

class PipeLink : public Link {
public:
    // Null, with the reason in *error, when the pipe cannot be opened.
    static std::unique_ptr<PipeLink> open(const std::string& name, std::string* error);
    ~PipeLink() override;
    bool write(const std::string& bytes) override;
    Read read_byte(char& out, int timeout_ms) override;

private:
    explicit PipeLink(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace kestrin
