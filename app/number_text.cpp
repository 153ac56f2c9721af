#include "app/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace pelvane {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Strips leading and trailing blanks.
std::string_view trim_blanks(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// Length of the run of digits at `pos`.
std::size_t digit_run(std::string_view text, std::size_t pos) {
    std::size_t n = 0;
    while (pos + n < text.size() && is_digit(text[pos + n])) ++n;
    return n;
}

bool is_sign(char c) { return c == '+' || c == '-'; }

}  // namespace

bool parse_integer(std::string_view text, int& value) {
    std::string_view body = trim_blanks(text);
    if (body.empty()) return false;
    const char first = body.front();

    std::size_t pos = is_sign(first) ? 1 : 0;
    const std::size_t digits = digit_run(body, pos);
    if (digits == 0 || pos + digits != body.size()) return false;

    // from_chars takes a minus sign but no plus sign.
    std::string_view number = first == '+' ? body.substr(1) : body;
    long long parsed = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), parsed);
    if (error != std::errc() || end != number.data() + number.size()) return false;
    if (parsed < std::numeric_limits<int>::min() || parsed > std::numeric_limits<int>::max()) return false;
    if (parsed == 0 && first != '0') return false;
    value = static_cast<int>(parsed);
    return true;
}

bool parse_number(std::string_view text, double& value) {
    std::string_view body = trim_blanks(text);
    if (body.empty()) return false;
    const char first = body.front();

    std::size_t pos = is_sign(first) ? 1 : 0;
    const std::size_t int_digits = digit_run(body, pos);
    pos += int_digits;
    std::size_t frac_digits = 0;
    if (pos < body.size() && body[pos] == '.') {
        frac_digits = digit_run(body, pos + 1);
        pos += 1 + frac_digits;
    }
    if (int_digits == 0 && frac_digits == 0) return false;
    if (pos < body.size() && (body[pos] == 'e' || body[pos] == 'E')) {
        std::size_t exp_pos = pos + 1;
        if (exp_pos < body.size() && is_sign(body[exp_pos])) ++exp_pos;
        const std::size_t exp_digits = digit_run(body, exp_pos);
        if (exp_digits == 0) return false;  // an unfinished exponent such as "1e" or "1e-"
        pos = exp_pos + exp_digits;
    }
    if (pos != body.size()) return false;

    // from_chars is independent of the C locale, which the toolkit may have
    // set to one with a decimal comma.
    std::string_view number = first == '+' ? body.substr(1) : body;
    double parsed = 0.0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), parsed,
                                        std::chars_format::general);
    if (error != std::errc() || end != number.data() + number.size()) return false;
    if (!std::isfinite(parsed)) return false;
    if (parsed == 0.0 && first != '0') return false;
    value = parsed;
    return true;
}

std::string format_integer(int value) { return std::to_string(value); }

std::string format_number(double value) {
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    if (error != std::errc()) return {};
    return std::string(buffer, end);
}

}  // namespace pelvane
