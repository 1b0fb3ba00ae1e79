// A value or an error, never both. The core reports every failure through
// this type; nothing in the core throws except std::bad_alloc.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace arbolite {

template <class E>
struct Failure {
    E error;
};

// `return fail(SomeError{...});` from any function returning Result<T, E>.
template <class E>
Failure<std::decay_t<E>> fail(E&& error) {
    return {std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    Result(Failure<F> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return *std::get_if<0>(&state_); }
    T&& value() && { return std::move(*std::get_if<0>(&state_)); }
    const T& value() const& { return *std::get_if<0>(&state_); }
    T* operator->() { return std::get_if<0>(&state_); }
    T& operator*() & { return value(); }

    E& error() & { return *std::get_if<1>(&state_); }
    E&& error() && { return std::move(*std::get_if<1>(&state_)); }
    const E& error() const& { return *std::get_if<1>(&state_); }

private:
    std::variant<T, E> state_;
};

// Success carries nothing.
struct Ok {};

template <class E>
using Status = Result<Ok, E>;

}  // namespace arbolite

// Propagates the error of `expr` (a Result) out of the enclosing function,
// which must return a Result with the same error type.
#define ARBOLITE_TRY(expr)                                     \
    do {                                                       \
        auto&& arbolite_try_result_ = (expr);                  \
        if (!arbolite_try_result_.ok())                        \
            return ::arbolite::fail(std::move(arbolite_try_result_).error()); \
    } while (0)

#define ARBOLITE_CONCAT_INNER(a, b) a##b
#define ARBOLITE_CONCAT(a, b) ARBOLITE_CONCAT_INNER(a, b)

// `ARBOLITE_TRY_ASSIGN(auto x, make_x());` declares (or assigns) the value of
// a Result, or propagates its error out of the enclosing function. It is
// several statements: give it braces of its own after `if`.
#define ARBOLITE_TRY_ASSIGN(lhs, expr) \
    ARBOLITE_TRY_ASSIGN_IMPL(ARBOLITE_CONCAT(arbolite_try_value_, __LINE__), lhs, expr)
#define ARBOLITE_TRY_ASSIGN_IMPL(tmp, lhs, expr)                      \
    auto tmp = (expr);                                                \
    if (!tmp.ok()) return ::arbolite::fail(std::move(tmp).error());   \
    lhs = std::move(tmp).value()
