// Quoting stored bytes in messages: nothing a damaged file holds can end the
// quote or reach a terminal as a control character.
#include <gtest/gtest.h>

#include <string_view>

#include "text.hpp"

namespace vog {
namespace {

using namespace std::string_view_literals;

TEST(Escaped, QuotesBackslashesAndControlCharactersButKeepsOtherText) {
  struct Case {
    std::string_view text;
    std::string_view want;
  };
  const Case cases[] = {
      {"plain name.txt", "plain name.txt"},
      {R"(say "hi" \ bye)", R"(say \"hi\" \\ bye)"},
      {"\0\n\x1B[2J\x7F"sv, R"(\x00\x0a\x1b[2J\x7f)"},
      // C1's CSI is escaped; a no-break space and an accented letter stay.
      {"\xC2\x9B" "31m \xC2\xA0 \xC3\xA9", "\\u009b31m \xC2\xA0 \xC3\xA9"},
      {"\xFF\xC2", "\xFF\xC2"},  // malformed bytes are kept, a lone 0xC2 at the end too
  };
  for (const Case& c : cases) EXPECT_EQ(escaped(c.text), c.want) << c.text;
}

}  // namespace
}  // namespace vog
