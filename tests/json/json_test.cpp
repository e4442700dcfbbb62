#include "json/json.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Parsed {
  JsonDocument document{};
  std::string text;
  explicit Parsed(std::string t) : text(std::move(t)) { ok = data_json_parse(&document, text.c_str()); }
  ~Parsed() { data_json_free(&document); }
  bool ok;
};

std::string decode(const char* literal, bool as_text = false) {
  Parsed parsed(literal);
  if (!parsed.ok) return "<parse failed>";
  char* text = as_text ? data_json_text(&parsed.document, 0) : data_json_string(&parsed.document, 0);
  if (text == nullptr) return "<null>";
  std::string result(text);
  std::free(text);
  return result;
}

struct ParseCase {
  const char* text;
  bool accepted;
};

TEST(JsonParse, AcceptsAndRefusesByTheGrammar) {
  const ParseCase cases[] = {
      {"{}", true},
      {"[]", true},
      {" \t\r\n[1, -2.5e+3, 0, 0.5, \"x\", true, false, null] \n", true},
      {"{\"a\": {\"b\": [ {} ]}}", true},
      {"\"\\u00e9\\n\\/\"", true},
      {"[1,]", false},               // trailing comma in an array
      {"{\"a\":1,}", false},         // trailing comma in an object
      {"{\"a\" 1}", false},          // key without its colon
      {"{1: 2}", false},             // key that is not a string
      {"012", false},                // leading zero followed by digits
      {"1.", false},                 // number ending in a point
      {"-", false},                  // lone minus sign
      {"1e", false},                 // exponent without digits
      {"1e+", false},
      {".5", false},                 // number starting with a point
      {"\"a\tb\"", false},           // raw tab inside a string
      {"\"\\x\"", false},            // escape letter outside the set
      {"\"\\u12\"", false},          // unicode escape with fewer than four digits
      {"\"\\u12g4\"", false},
      {"\"open", false},
      {"tru", false},
      {"truex", false},              // the letters are matched, the x fails the enclosing rule
      {"nul", false},
      {"{} x", false},               // trailing byte other than whitespace
      {"{}\f", false},               // form feed is not whitespace
      {"", false},
      {"   ", false},
      {"[1 2]", false},
      {"{\"a\":1 \"b\":2}", false},
      {"\x01[]", false},             // control byte where whitespace is allowed
      {"[\"\xff\xfe\"]", true},      // bytes from 128 up pass unchanged
  };
  for (const ParseCase& c : cases) {
    Parsed parsed(c.text);
    EXPECT_EQ(parsed.ok, c.accepted) << "text: " << c.text;
    if (!parsed.ok) {
      EXPECT_EQ(parsed.document.tokens, nullptr);
      EXPECT_EQ(parsed.document.count, 0u);
      EXPECT_EQ(parsed.document.capacity, 0u);
      EXPECT_EQ(parsed.document.text, nullptr);
    }
  }
  JsonDocument document{};
  EXPECT_FALSE(data_json_parse(&document, nullptr));
}

TEST(JsonParse, TokensAreStoredInPreOrderWithSubtreeEnds) {
  Parsed parsed(R"({"a": [1, {"b": null}], "c": "x"})");
  ASSERT_TRUE(parsed.ok);
  const JsonDocument& d = parsed.document;
  ASSERT_EQ(d.count, 9u);
  const uint32_t kinds[] = {JSON_OBJECT, JSON_STRING, JSON_ARRAY, JSON_NUMBER, JSON_OBJECT,
                            JSON_STRING, JSON_NULL,   JSON_STRING, JSON_STRING};
  const uint64_t nexts[] = {9, 2, 7, 4, 7, 6, 7, 8, 9};
  for (uint64_t i = 0; i < d.count; ++i) {
    EXPECT_EQ(d.tokens[i].kind, kinds[i]) << i;
    EXPECT_EQ(d.tokens[i].next, nexts[i]) << i;
  }
  EXPECT_EQ(std::string(d.text + d.tokens[2].start, d.tokens[2].end - d.tokens[2].start), "[1, {\"b\": null}]");
  EXPECT_EQ(std::string(d.text + d.tokens[7].start, d.tokens[7].end - d.tokens[7].start), "\"c\"");

  for (const char* empty : {"{}", "[]"}) {
    Parsed e(empty);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.document.count, 1u);
    EXPECT_EQ(e.document.tokens[0].next, 1u);
  }
  Parsed array("[]");
  uint64_t count = 99;
  EXPECT_TRUE(data_json_array_count(&array.document, 0, &count));
  EXPECT_EQ(count, 0u);
}

TEST(JsonParse, NestingLimitIs33Levels) {
  auto nested = [](int levels, const char* inner) {
    return std::string(levels, '[') + inner + std::string(levels, ']');
  };
  EXPECT_TRUE(Parsed(nested(33, "")).ok);
  EXPECT_FALSE(Parsed(nested(34, "")).ok);
  // A container at the last level must be empty.
  EXPECT_TRUE(Parsed(nested(32, "1")).ok);
  EXPECT_FALSE(Parsed(nested(33, "1")).ok);
  EXPECT_FALSE(Parsed(nested(100000, "")).ok);  // deep input fails without exhausting the stack
}

TEST(JsonParse, TokenLimitIs1048576) {
  auto zeros = [](size_t n) {
    std::string text = "[";
    text.reserve(2 * n + 2);
    for (size_t i = 0; i < n; ++i) text += i ? ",0" : "0";
    return text + "]";
  };
  Parsed at_limit(zeros(DATA_JSON_MAX_TOKENS - 1));
  ASSERT_TRUE(at_limit.ok);
  EXPECT_EQ(at_limit.document.count, DATA_JSON_MAX_TOKENS);
  EXPECT_FALSE(Parsed(zeros(DATA_JSON_MAX_TOKENS)).ok);
}

// Token storage passes from a freed document to the next parse on the
// thread: documents alive together never share it, the limit holds in reused
// storage, and a parse into it gives exactly what a fresh parse gives.
TEST(JsonParse, TokenStorageReusedAcrossParses) {
  auto zeros = [](size_t n) {
    std::string text = "[";
    for (size_t i = 0; i < n; ++i) text += i ? ",0" : "0";
    return text + "]";
  };
  const std::string big = zeros(DATA_JSON_MAX_TOKENS - 1);
  { Parsed warm(big); ASSERT_TRUE(warm.ok); }
  EXPECT_FALSE(Parsed(zeros(DATA_JSON_MAX_TOKENS)).ok);  // into the storage the big one left
  Parsed again(big);
  ASSERT_TRUE(again.ok);
  EXPECT_EQ(again.document.count, DATA_JSON_MAX_TOKENS);
  EXPECT_EQ(again.document.tokens[DATA_JSON_MAX_TOKENS - 1].start, big.size() - 2);

  const char* text = R"({"a": [1, {"b": null}], "c": "x"})";
  const uint64_t nexts[] = {9, 2, 7, 4, 7, 6, 7, 8, 9};
  Parsed first(text);
  { Parsed failed("[1, 2"); EXPECT_FALSE(failed.ok); }
  Parsed second(text);  // while `first` is alive
  ASSERT_TRUE(first.ok);
  ASSERT_TRUE(second.ok);
  EXPECT_NE(first.document.tokens, second.document.tokens);
  for (const Parsed* parsed : {&first, &second}) {
    ASSERT_EQ(parsed->document.count, 9u);
    for (uint64_t i = 0; i < 9; ++i) EXPECT_EQ(parsed->document.tokens[i].next, nexts[i]) << i;
    EXPECT_EQ(parsed->document.tokens[8].end, std::strlen(text) - 1);
  }
}

TEST(JsonAccess, FieldLookup) {
  Parsed parsed(R"({"a": 1, "a": 2, "n\u0061me": "x", "q\"k": 3, "bad\u0000": 4, "nest": {"deep": {"v": true}}})");
  ASSERT_TRUE(parsed.ok);
  const JsonDocument* d = &parsed.document;
  uint64_t first = data_json_field(d, 0, "a");
  ASSERT_NE(first, JSON_NONE);
  EXPECT_EQ(d->text[d->tokens[first].start], '1');  // the first of two equal keys wins
  EXPECT_EQ(data_json_kind(d, data_json_field(d, 0, "name")), JSON_STRING);  // partly escaped key
  EXPECT_NE(data_json_field(d, 0, "q\"k"), JSON_NONE);
  EXPECT_EQ(data_json_field(d, 0, "bad"), JSON_NONE);  // undecodable key matches nothing
  EXPECT_EQ(data_json_field(d, 0, "missing"), JSON_NONE);
  uint8_t value = 0;
  EXPECT_TRUE(data_json_bool(d, data_json_field(d, data_json_field(d, data_json_field(d, 0, "nest"), "deep"), "v"),
                             &value));
  EXPECT_EQ(value, 1);
  // Absent indexes chain without checks.
  EXPECT_EQ(data_json_field(d, data_json_field(d, 0, "missing"), "v"), JSON_NONE);
  EXPECT_EQ(data_json_field(d, 1, "a"), JSON_NONE);  // token 1 is a key, not an object
  EXPECT_EQ(data_json_field(d, 10000, "a"), JSON_NONE);
  EXPECT_EQ(data_json_field(nullptr, 0, "a"), JSON_NONE);
}

TEST(JsonAccess, SizesAndBooleans) {
  Parsed parsed(R"([18446744073709551615, 18446744073709551616, -1, 1.5, 1e3, 0, true, false, null, "7"])");
  ASSERT_TRUE(parsed.ok);
  const JsonDocument* d = &parsed.document;
  uint64_t size = 42;
  EXPECT_TRUE(data_json_size(d, 1, &size));
  EXPECT_EQ(size, UINT64_MAX);
  for (uint64_t refused : {2, 3, 4, 5, 10}) {
    size = 42;
    EXPECT_FALSE(data_json_size(d, refused, &size)) << refused;
    EXPECT_EQ(size, 42u);
  }
  EXPECT_TRUE(data_json_size(d, 6, &size));
  EXPECT_EQ(size, 0u);
  uint8_t flag = 9;
  EXPECT_TRUE(data_json_bool(d, 7, &flag));
  EXPECT_EQ(flag, 1);
  EXPECT_TRUE(data_json_bool(d, 8, &flag));
  EXPECT_EQ(flag, 0);
  flag = 9;
  EXPECT_FALSE(data_json_bool(d, 9, &flag));
  EXPECT_FALSE(data_json_bool(d, JSON_NONE, &flag));
  EXPECT_EQ(flag, 9);
  uint64_t count = 7;
  EXPECT_FALSE(data_json_array_count(d, 1, &count));
  EXPECT_EQ(count, 7u);
  EXPECT_TRUE(data_json_array_count(d, 0, &count));
  EXPECT_EQ(count, 10u);
}

TEST(JsonStrings, Decoding) {
  struct Case {
    const char* literal;
    const char* expected;  // null: decoding refuses
  } cases[] = {
      {R"("plain")", "plain"},
      {R"("\b\f\n\r\t\"\\\/")", "\b\f\n\r\t\"\\/"},
      {R"("\u0041\u00e9\u20AC")", "A\xc3\xa9\xe2\x82\xac"},
      {R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},  // a surrogate pair gives four bytes
      {R"("\uD83D\uDE00x")", "\xf0\x9f\x98\x80x"},
      {R"("\ud83d")", nullptr},                  // high half alone
      {R"("\ude00")", nullptr},                  // low half alone
      {R"("\ud83dx\ude00")", nullptr},           // high half followed by something else
      {R"("\ud83d\u0041")", nullptr},            // high half followed by a non-surrogate
      {R"("\ud83d\ude0")", nullptr},             // fails already in the scanner
      {R"("\u0000")", nullptr},                  // code unit 0
      {"\"caf\xc3\xa9\"", "caf\xc3\xa9"},
      {R"("")", ""},
  };
  for (const Case& c : cases) {
    std::string got = decode(c.literal);
    if (c.expected == nullptr)
      EXPECT_TRUE(got == "<null>" || got == "<parse failed>") << c.literal << " gave " << got;
    else
      EXPECT_EQ(got, c.expected) << c.literal;
  }
  Parsed number("[1]");
  EXPECT_EQ(data_json_string(&number.document, 1), nullptr);
  EXPECT_EQ(data_json_string(&number.document, JSON_NONE), nullptr);
  EXPECT_EQ(data_json_text(&number.document, 0), nullptr);
  EXPECT_EQ(data_json_text(&number.document, JSON_NONE), nullptr);
}

// Decoded as text to show, what the strict decoding refuses and bytes that
// are not UTF-8 each read as U+FFFD, and the rest of the text stays.
TEST(JsonStrings, DecodingAsText) {
  const std::string r = "\xef\xbf\xbd";  // U+FFFD
  const struct {
    std::string literal;
    std::string expected;
  } cases[] = {
      {R"("A\u0000B")", "A" + r + "B"},
      {R"("\ud83d Title")", r + " Title"},                  // high half alone
      {R"("\ude00x")", r + "x"},                            // low half alone
      {R"("\ud83d\u0041")", r + "A"},                       // high half, then a letter read on its own
      {R"("\ud83d\ud83d\ude00")", r + "\xf0\x9f\x98\x80"},  // a lone half before a whole pair
      {R"("x\ud83d")", "x" + r},                             // high half at the end
      {R"("\ud83d\ude00\u00e9\n")", "\xf0\x9f\x98\x80\xc3\xa9\n"},  // well-formed text is unchanged
      {"\"caf\xc3\xa9 \xf4\x8f\xbf\xbf\"", "caf\xc3\xa9 \xf4\x8f\xbf\xbf"},
      {"\"a\xff" "b\"", "a" + r + "b"},                        // not UTF-8 at all
      {"\"\xc0\xaf\"", r + r},                                // overlong
      {"\"\xed\xa0\x80\"", r + r + r},                        // an encoded surrogate
      {"\"\xf4\x90\x80\x80\"", r + r + r + r},                 // past U+10FFFF
      {"\"\xe2\x82\"", r + r},                                // cut short by the quote
      {"\"\xe2\x82\\n\"", r + r + "\n"},                       // cut short by an escape
      {"\"\x80\"", r},                                        // a stray continuation byte
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode(c.literal.c_str(), true), c.expected) << c.literal;
  }
}

TEST(JsonStrings, Quoting) {
  char* quoted = data_json_quote("a\"\n");
  ASSERT_NE(quoted, nullptr);
  EXPECT_STREQ(quoted, "\"a\\\"\\u000a\"");  // eleven characters
  EXPECT_EQ(std::string(quoted).size(), 11u);
  std::free(quoted);

  quoted = data_json_quote("\\/\x7f\x1f\x01\xc3\xa9");
  EXPECT_STREQ(quoted, "\"\\\\/\x7f\\u001f\\u0001\xc3\xa9\"");
  std::free(quoted);
  EXPECT_EQ(data_json_quote(nullptr), nullptr);

  // Every byte from 1 to 255 survives quoting and decoding.
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  quoted = data_json_quote(all.c_str());
  EXPECT_EQ(decode(quoted), all);
  std::free(quoted);
}

TEST(JsonWalk, ChildrenAndSiblings) {
  Parsed parsed(R"([[1, 2], {"k": [3]}, 4])");
  ASSERT_TRUE(parsed.ok);
  const JsonDocument* d = &parsed.document;
  std::string kinds;
  for (uint64_t e = data_json_child(d, 0); e != JSON_NONE; e = data_json_after(d, e, 0))
    kinds += std::to_string(d->tokens[e].kind);
  EXPECT_EQ(kinds, "103");
  Parsed empty("[]");
  EXPECT_EQ(data_json_child(&empty.document, 0), JSON_NONE);
  EXPECT_EQ(data_json_child(d, 2), JSON_NONE);  // a number has no children
}

}  // namespace
