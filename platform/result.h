#pragma once
// The one way the platform layer reports a call that can fail: the value, or why it could not
// be had. A Result is tested like a pointer; failure() tells why.

#include <optional>
#include <string>
#include <utility>

namespace tarvelo {

struct Failure {
    std::string reason;
    // What was named was reached but could not be used as asked (a device that opened and
    // refused its line settings); callers may report that case apart.
    bool reached = false;
};

template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : value_(std::move(value)) {}
    Result(Failure failure) : failure_(std::move(failure)) {}

    explicit operator bool() const { return value_.has_value(); }
    T& operator*() { return *value_; }
    T* operator->() { return &*value_; }
    // The value, moved out.
    T take() { return std::move(*value_); }
    // The value moved out, or `other` on failure.
    T value_or(T other) { return value_ ? std::move(*value_) : std::move(other); }
    const Failure& failure() const { return failure_; }
    const std::string& error() const { return failure_.reason; }

  private:
    std::optional<T> value_;
    Failure failure_;
};

// A call that gives nothing but its success.
template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Failure failure) : failed_(true), failure_(std::move(failure)) {}

    explicit operator bool() const { return !failed_; }
    const Failure& failure() const { return failure_; }
    const std::string& error() const { return failure_.reason; }

  private:
    bool failed_ = false;
    Failure failure_;
};

}  // namespace tarvelo
