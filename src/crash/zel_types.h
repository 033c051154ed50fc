// The crash library's own exception base class. The crash reporter raises
// it for its own failures and must not depend on the program's higher
// layers to do so, so it carries nothing but its message.
#pragma once

#include <exception>
#include <string>

class ZelException : public std::exception {
public:
    explicit ZelException(std::string message) : Message(std::move(message)) {}
    ~ZelException() override;
    const char* what() const noexcept override { return Message.c_str(); }

    std::string Message;
};
