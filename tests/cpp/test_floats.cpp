// Double tokens: the shortest digits that read back as the double, written positionally (never
// an exponent), whole doubles as integers, negative zero as "-0".
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "check.h"
#include "encode/tokens.h"

namespace {

std::string written(double d) {
  vardel::OutputBuffer out;
  vardel::write_double(out, d);
  return out.str();
}

std::string show(double d) {
  char text[32];
  std::snprintf(text, sizeof text, "%a", d);
  return text;
}

// The text of a case is head, then `zeros` zeros, then tail.
struct Case {
  double value;
  const char* head;
  int zeros;
  const char* tail;
};

// Subnormals, the ends of the range, 17-digit values, powers of ten and two, neighbours of 2^53,
// cases known to be hard for shortest-digits algorithms, and short decimals.
constexpr Case kCases[] = {
    {0.0, "0", 0, ""},
    {-0.0, "-0", 0, ""},
    {1.0, "1", 0, ""},
    {-2.0, "-2", 0, ""},
    {0.5, "0.5", 0, ""},
    {3.0, "3", 0, ""},
    {5e-324, "0.", 323, "5"},
    {-5e-324, "-0.", 323, "5"},
    {1e-323, "0.", 322, "1"},
    {2.2250738585072014e-308, "0.", 307, "22250738585072014"},
    {1.7976931348623157e+308, "17976931348623157", 292, ""},
    {-1.7976931348623157e+308, "-17976931348623157", 292, ""},
    {0.1, "0.1", 0, ""},
    {0.30000000000000004, "0.30000000000000004", 0, ""},
    {1.0000000000000002, "1.0000000000000002", 0, ""},
    {0.9999999999999999, "0.9999999999999999", 0, ""},
    {0.3333333333333333, "0.3333333333333333", 0, ""},
    {1e-07, "0.0000001", 0, ""},
    {1e+21, "1", 21, ""},
    {1e+22, "1", 22, ""},
    {1e+23, "1", 23, ""},
    {1e+308, "1", 308, ""},
    {1e-308, "0.", 307, "1"},
    {9007199254740992.0, "9007199254740992", 0, ""},
    {9007199254740994.0, "9007199254740994", 0, ""},
    {9007199254740991.0, "9007199254740991", 0, ""},
    {1.8014398509481988e+16, "18014398509481988", 0, ""},
    {8.98846567431158e+307, "898846567431158", 293, ""},
    {1.8446744073709552e+19, "18446744073709552000", 0, ""},
    {9.5367431640625e-07, "0.00000095367431640625", 0, ""},
    {1.8531501765868567e+21, "1853150176586856700000", 0, ""},
    {-3.347727380279489e+33, "-3347727380279489", 18, ""},
    {2.989102097996e-312, "0.", 311, "2989102097996"},
    {9060801153433600.0, "9060801153433600", 0, ""},
    {4.708356024711512e+18, "4708356024711512000", 0, ""},
    {9.409340012568248e+18, "9409340012568248000", 0, ""},
    {5.764607523034235e+39, "5764607523034235", 24, ""},
    {1.1754943508222875e-38, "0.", 37, "11754943508222875"},
    {0.07, "0.07", 0, ""},
    {0.0007, "0.0007", 0, ""},
    {99999999999.9999, "99999999999.9999", 0, ""},
    {123456789.125, "123456789.125", 0, ""},
    {-72.25, "-72.25", 0, ""},
    {1.2345678901234566e-05, "0.000012345678901234566", 0, ""},
    {1.2345678901234568e+17, "123456789012345680", 0, ""},
    {4.940656e-318, "0.", 317, "4940656"},
    {1.18575755e-316, "0.", 315, "118575755"},
    {2.225073858507201e-308, "0.", 307, "2225073858507201"},
};

void test_cases() {
  for (const Case& c : kCases) {
    std::string expected = c.head + std::string(static_cast<std::size_t>(c.zeros), '0') + c.tail;
    CHECK_CASE(written(c.value) == expected, show(c.value) + " gave " + written(c.value));
  }
}

// Every binade, at its smallest, next and largest significand, both signs: the text has no
// exponent, reads back as the double, and has no zero after a decimal point's last digit.
void test_every_binade_reads_back() {
  for (std::uint64_t mantissa : {0ull, 1ull, (1ull << 52) - 1}) {
    for (std::uint64_t e = 0; e < 2047; ++e) {
      for (std::uint64_t sign : {0ull, 1ull << 63}) {
        double d = std::bit_cast<double>(sign | e << 52 | mantissa);
        std::string text = written(d);
        double back = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
        CHECK_CASE(ec == std::errc() && end == text.data() + text.size(), text);
        CHECK_CASE(std::bit_cast<std::uint64_t>(back) == std::bit_cast<std::uint64_t>(d), text);
        CHECK_CASE(text.find_first_of("eE") == std::string::npos, text);
        CHECK_CASE(text.find('.') == std::string::npos || text.back() != '0', text);
      }
    }
  }
}

void test_not_finite() {
  CHECK(written(std::numeric_limits<double>::infinity()) == "null");
  CHECK(written(-std::numeric_limits<double>::infinity()) == "null");
  CHECK(written(std::numeric_limits<double>::quiet_NaN()) == "null");
}

}  // namespace

int main() {
  test_cases();
  test_every_binade_reads_back();
  test_not_finite();
  return vardel::testing::finish("test_floats");
}
