// Results of core operations: a value, or the reason the operation refused.
// The core never throws across its API for refused input; the binding turns
// the error kind into the matching Python exception.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace quillmere {

enum class ErrorKind {
    Value,     // refused input (wrong length): ValueError with the text
    Panic,     // broken invariant or platform failure: the module's panic exception
    NoMemory,  // an allocation failed: MemoryError
};

struct Error {
    ErrorKind kind;
    std::string message;
};

template <class T>
class Outcome {
public:
    Outcome(T value) : state_(std::move(value)) {}
    Outcome(Error error) : state_(std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    T& value() { return std::get<0>(state_); }
    const Error& error() const { return std::get<1>(state_); }

private:
    std::variant<T, Error> state_;
};

}  // namespace quillmere
