#pragma once

#include <exception>
#include <string>

namespace lanemark {

// What a caller may need to tell apart without reading the sentence.
enum class FailureKind {
    other,
    notRegular,   // the path names a folder, a pipe or a device
    outOfMemory,  // the program could not allocate what the file needs
};

// The program's own error: one complete sentence meant for the user.
class Failure : public std::exception {
public:
    explicit Failure(std::string message, FailureKind kind = FailureKind::other)
        : message_(std::move(message)), kind_(kind) {}

    const std::string& message() const noexcept { return message_; }
    FailureKind kind() const noexcept { return kind_; }
    const std::string& errorDescription() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
    FailureKind kind_;
};

[[noreturn]] inline void fail(std::string message, FailureKind kind = FailureKind::other) {
    throw Failure(std::move(message), kind);
}

}  // namespace lanemark
