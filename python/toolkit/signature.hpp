// Text signatures, parsed and checked at compile time: "name($self, a, b=None)".
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace drovik::py {

template <std::size_t N>
struct FixedString {
    char text[N]{};
    constexpr FixedString(const char (&s)[N]) { std::copy_n(s, N, text); }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

struct ParamSpec {
    std::string_view name;  // NUL-terminated in a Signature's params
    std::string_view default_literal;  // empty: required
    constexpr bool has_default() const { return !default_literal.empty(); }
};

namespace detail {

constexpr std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

constexpr std::string_view parameter_list(std::string_view sig) {
    const auto open = sig.find('(');
    return sig.substr(open + 1, sig.size() - open - 2);
}

// Splits "a, b=None" into its parameters, skipping "$self".
template <std::size_t Max>
struct ParamList {
    std::array<ParamSpec, Max> items{};
    std::size_t count = 0;
    bool has_self = false;
};

template <std::size_t Max>
constexpr ParamList<Max> split_parameters(std::string_view list) {
    ParamList<Max> out;
    while (!trim(list).empty()) {
        const auto comma = list.find(',');
        std::string_view item = trim(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
        if (item == "$self") {
            out.has_self = true;
            continue;
        }
        const auto eq = item.find('=');
        ParamSpec spec{trim(item.substr(0, eq)), {}};
        if (eq != std::string_view::npos) spec.default_literal = trim(item.substr(eq + 1));
        out.items[out.count++] = spec;
    }
    return out;
}

constexpr std::size_t count_parameters(std::string_view list) {
    return split_parameters<32>(list).count;
}

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A decimal integer: optional '-', then digits.
constexpr bool is_integer_literal(std::string_view s) {
    if (!s.empty() && s.front() == '-') s.remove_prefix(1);
    return !s.empty() && std::all_of(s.begin(), s.end(), is_digit);
}

// A decimal float: [-]digits[.digits][e[+-]digits] with a '.' or an exponent.
constexpr bool is_float_literal(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && s[i] == '-') ++i;
    const std::size_t int_start = i;
    while (i < s.size() && is_digit(s[i])) ++i;
    bool digits = i > int_start;
    bool marked = false;
    if (i < s.size() && s[i] == '.') {
        marked = true;
        const std::size_t frac_start = ++i;
        while (i < s.size() && is_digit(s[i])) ++i;
        digits = digits || i > frac_start;
    }
    if (!digits) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        marked = true;
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        const std::size_t exp_start = i;
        while (i < s.size() && is_digit(s[i])) ++i;
        if (i == exp_start) return false;
    }
    return marked && i == s.size();
}

// The default literals the binding can turn into values.
constexpr bool is_supported_default(std::string_view s) {
    return s == "None" || s == "True" || s == "False" || is_integer_literal(s) || is_float_literal(s);
}

}  // namespace detail

template <FixedString Sig>
struct Signature {
    static constexpr std::string_view text = Sig.view();
    static constexpr std::string_view name = text.substr(0, text.find('('));
    static constexpr std::size_t count = detail::count_parameters(detail::parameter_list(text));
    static constexpr auto parsed = detail::split_parameters<count == 0 ? 1 : count>(detail::parameter_list(text));
    static constexpr bool is_method = parsed.has_self;

    // The parameter names again, each followed by a NUL, so that keywords can
    // be compared with the C API's ASCII comparison without a copy.
    static constexpr auto name_storage = [] {
        std::array<char, text.size() + count + 1> out{};
        std::size_t at = 0;
        for (std::size_t i = 0; i < count; ++i) {
            for (char c : parsed.items[i].name) out[at++] = c;
            out[at++] = '\0';
        }
        return out;
    }();
    static constexpr auto specs = [] {
        auto out = parsed.items;
        std::size_t at = 0;
        for (std::size_t i = 0; i < count; ++i) {
            out[i].name = std::string_view(name_storage.data() + at, parsed.items[i].name.size());
            at += parsed.items[i].name.size() + 1;
        }
        return out;
    }();
    static constexpr std::span<const ParamSpec> params{specs.data(), count};

    static constexpr std::size_t required = [] {
        std::size_t n = 0;
        for (std::size_t i = 0; i < count; ++i) n += parsed.items[i].has_default() ? 0 : 1;
        return n;
    }();

    // Null-terminated copies for the C API: the name, and the docstring
    // "<signature>\n--\n\n" from which the interpreter derives __text_signature__.
    static constexpr auto c_name = [] {
        std::array<char, name.size() + 1> out{};
        std::copy(name.begin(), name.end(), out.begin());
        return out;
    }();
    static constexpr auto doc = [] {
        constexpr std::string_view tail = "\n--\n\n";
        std::array<char, text.size() + tail.size() + 1> out{};
        std::copy(text.begin(), text.end(), out.begin());
        std::copy(tail.begin(), tail.end(), out.begin() + text.size());
        return out;
    }();

    static_assert(text.back() == ')', "a text signature must end with ')'");
    static_assert([] {
        bool seen_default = false;
        for (std::size_t i = 0; i < count; ++i) {
            if (parsed.items[i].has_default()) seen_default = true;
            else if (seen_default) return false;
        }
        return true;
    }(), "parameters with defaults must come last");
    static_assert([] {
        for (std::size_t i = 0; i < count; ++i) {
            if (parsed.items[i].has_default() && !detail::is_supported_default(parsed.items[i].default_literal))
                return false;
        }
        return true;
    }(), "a default in a text signature must be None, True, False, a decimal integer or a decimal float");
};

}  // namespace drovik::py
