#pragma once

#include <atomic>
#include <exception>
#include <string>

namespace quill {

// Base of every error the framework throws. Each error enumeration of the system is one
// subclass with a Kind (and payload), operator== and description().
class Error : public std::exception {
public:
    Error() = default;
    // The text cache is not copied: a copy builds its own, so copying never reads a cache that
    // another thread may be filling.
    Error(const Error& other) noexcept : std::exception(other) {}
    // The assigned members give another text: the cache starts over.
    Error& operator=(const Error&) noexcept {
        delete what_.exchange(nullptr);
        return *this;
    }
    ~Error() override;

    virtual std::string description() const = 0;
    // Safe to call from several threads on one object (a rethrown error reaches every reader).
    const char* what() const noexcept override;
    // The base carries no value, so subclasses can default their operator== over their own
    // members.
    bool operator==(const Error&) const { return true; }

private:
    mutable std::atomic<const std::string*> what_{nullptr};  // owned; set once
};

// A JSON read that does not fit the expected shape.
class DecodingError : public Error {
public:
    enum class Kind { keyNotFound, valueNotFound, typeMismatch, dataCorrupted };
    DecodingError(Kind kind, std::string key, std::string text)
        : kind(kind), key(std::move(key)), text(std::move(text)) {}
    std::string description() const override;
    bool operator==(const DecodingError&) const = default;

    Kind kind;
    std::string key;  // the member concerned, empty for the whole document
    std::string text;
};

// A value that cannot be written (a non-finite double, invalid UTF-8).
class EncodingError : public Error {
public:
    explicit EncodingError(std::string text) : text(std::move(text)) {}
    std::string description() const override { return text; }
    bool operator==(const EncodingError&) const = default;
    std::string text;
};

// A failure inside a cryptographic primitive (e.g. an AEAD that does not open).
class CryptoError : public Error {
public:
    explicit CryptoError(std::string text) : text(std::move(text)) {}
    std::string description() const override { return text; }
    bool operator==(const CryptoError&) const = default;
    std::string text;
};

// A wait that was interrupted by its owner.
class Cancelled : public Error {
public:
    std::string description() const override { return "The operation was cancelled."; }
};

}  // namespace quill
