#pragma once

#include <exception>
#include <string>

namespace lanemark {

// The program's own error: one complete sentence meant for the user.
class Failure : public std::exception {
public:
    explicit Failure(std::string message) : message_(std::move(message)) {}

    const std::string& message() const noexcept { return message_; }
    const std::string& errorDescription() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

[[noreturn]] inline void fail(std::string message) { throw Failure(std::move(message)); }

}  // namespace lanemark
