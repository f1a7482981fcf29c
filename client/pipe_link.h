#pragma once
// kestrin's own connection to the scale's pipe (a Unix-domain stream socket).

#include <memory>
#include <string>

namespace kestrin {

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
