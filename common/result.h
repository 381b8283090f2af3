// How failures travel in this code base: one value-or-error type for every call
// that can fail. Any thread; the types are plain values.
//
// The convention, used by every program and tool:
// - A function that makes a system call or does I/O returns a [[nodiscard]]
//   Result<T> (a value or an Error), or a Status when there is no value. The
//   Error carries what was being done ("bind(/run/x.sock)") and the errno,
//   captured at once, before anything else can overwrite it. A failure that is
//   no failed system call but that a caller must tell apart (a deadline, a
//   bound, a refused peer, a socket already served) has its ErrorKind.
// - Callers decide by the kind or the errno, never by the text: context and
//   message() are for people.
// - Only the edges write log lines: the code that knows who reads them (the
//   daemon's log, the agent's log, a tool's standard error) turns an Error into
//   text with message(), or with reason() where a line has its own wording.
//   errno becomes text only through errnoText(); the daemon's few "errno=N"
//   lines are part of its log format and spell the number.
// - Exit statuses are decided only in the programs' main().
// - A dropped Result is a compiler warning (an error in CI). Where a failure
//   really changes nothing, write `(void)call(); // why` with the reason.
// - A library that throws (the JSON parser) is wrapped where it is called and
//   its failure becomes a value there; no exception crosses a function.
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace velto {

// The message for an errno value, e.g. "No such file or directory".
std::string errnoText(int err);

// What a caller may have to tell apart beyond the errno. Only kinds that some
// caller acts on are here.
enum class ErrorKind {
  kFailed,    // a system call failed (see `code`), or an input was unusable
  kTimedOut,  // a deadline passed before the work was done
  kTooLarge,  // more arrived than the caller's bound allows
  kRefused,   // the peer is not one this program serves
  kTaken,     // a live server already answers at the socket's path
};

// What failed and why.
struct Error {
  // What was being done, e.g. "connect(/run/x.sock)".
  std::string context;
  // The errno of the failure; 0 when no system call failed (a malformed input).
  int code = 0;
  ErrorKind kind = ErrorKind::kFailed;

  // The system's reason alone: errnoText(code), or empty when code is 0.
  std::string reason() const { return code != 0 ? errnoText(code) : std::string(); }
  // "context: reason"; the context alone when code is 0, the reason alone when
  // there is no context.
  std::string message() const {
    if (code == 0) return context;
    return context.empty() ? reason() : context + ": " + reason();
  }
};

// An Error for the call that has just failed: it reads errno, so call it first.
// Where the context is built from pieces, keep errno first (`const int err =
// errno;`) and write Error{"call " + path, err}: building the text may call
// into the allocator before errno is read.
Error errnoError(std::string context);

// A value of type T, or the Error that kept it from being made.
template <typename T>
class [[nodiscard]] Result {
 public:
  // Implicit on purpose, so that `return value;` and `return error;` both read plainly.
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // REQUIRES: ok().
  T& value() & { return *std::get_if<0>(&state_); }
  const T& value() const& { return *std::get_if<0>(&state_); }
  T&& value() && { return std::move(*std::get_if<0>(&state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // REQUIRES: !ok().
  const Error& error() const { return *std::get_if<1>(&state_); }

 private:
  // No std::expected: the macOS deployment target's library lacks it.
  std::variant<T, Error> state_;
};

// Success with nothing to hand back, or an Error.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }

  // REQUIRES: !ok().
  const Error& error() const { return *error_; }

 private:
  std::optional<Error> error_;
};

using Status = Result<void>;

}  // namespace velto
