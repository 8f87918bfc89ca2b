// Value-or-message results used by every native layer.
// A failure carries only its message text; layers pass it on unchanged.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace molvane {

struct Error {
    std::string message;
};

// Concatenates its pieces into one failure message.
template <typename... Parts>
Error fail(Parts&&... parts) {
    std::string text;
    (text.append(std::string_view(parts)), ...);
    return Error{std::move(text)};
}

template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : data_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : data_(std::in_place_index<1>, std::move(error)) {}

    explicit operator bool() const { return data_.index() == 0; }
    bool ok() const { return data_.index() == 0; }

    T& operator*() & { return std::get<0>(data_); }
    const T& operator*() const& { return std::get<0>(data_); }
    T&& operator*() && { return std::get<0>(std::move(data_)); }
    T* operator->() { return &std::get<0>(data_); }
    const T* operator->() const { return &std::get<0>(data_); }

    const Error& error() const& { return std::get<1>(data_); }
    Error&& error() && { return std::get<1>(std::move(data_)); }

private:
    std::variant<T, Error> data_;
};

}  // namespace molvane
