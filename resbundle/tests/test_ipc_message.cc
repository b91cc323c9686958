// Control channel messages: parsing of chunk texts, the text form written
// for a message, and the description of a message.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "resbundle/KXIPCMessage.h"

namespace {

using nlohmann::json;

constexpr int64_t kNone = std::numeric_limits<int64_t>::min() + 1;
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

std::string nested(int levels, const std::string& inner) {
  return std::string(levels, '[') + inner + std::string(levels, ']');
}

TEST(IPCMessageParse, ChunkTextsGiveTheirIdOrNothing) {
  const struct {
    const char* name;
    std::string text;
    int64_t id;  // kNone: no message
  } kCases[] = {
      {"plain", R"(ipcmsg:{"msgID":2})", 2},
      {"string id with desc", R"(ipcmsg:{"msgID":"2","msgDesc":"exit"})", 2},
      {"desc is ignored", R"(ipcmsg:{"msgID":3,"msgDesc":"exit"})", 3},
      {"members in any order", R"(ipcmsg:{"x":[1],"msgID":5,"msgText":"t"})",
       5},
      {"no id", R"(ipcmsg:{"msgDesc":"exit"})", kNone},
      {"prefix upper case", R"(IPCMSG:{"msgID":2})", kNone},
      {"prefix mixed case", R"(ipcMsg:{"msgID":2})", kNone},
      {"bare prefix", "ipcmsg:", kNone},
      {"empty", "", kNone},
      {"no prefix", R"({"msgID":2})", kNone},
      {"space before prefix", R"( ipcmsg:{"msgID":2})", kNone},
      {"array", "ipcmsg:[2]", kNone},
      {"empty object", "ipcmsg:{}", kNone},
      {"bare number", "ipcmsg:2", kNone},
      {"bare string", R"(ipcmsg:"2")", kNone},
      {"two messages in one chunk", R"(ipcmsg:{"msgID":2}ipcmsg:{"msgID":2})",
       kNone},
      {"two messages on two lines",
       "ipcmsg:{\"msgID\":2}\nipcmsg:{\"msgID\":2}\n", kNone},
      {"fraction dropped", R"(ipcmsg:{"msgID":2.9})", 2},
      {"negative fraction towards zero", R"(ipcmsg:{"msgID":-2.9})", -2},
      {"exponent", R"(ipcmsg:{"msgID":0.2e1})", 2},
      {"huge float saturates", R"(ipcmsg:{"msgID":1e300})", kMax},
      {"huge negative float saturates", R"(ipcmsg:{"msgID":-1e300})", kMin},
      {"float overflow is a parse error", R"(ipcmsg:{"msgID":1e400})", kNone},
      {"unsigned beyond int64 saturates",
       R"(ipcmsg:{"msgID":18446744073709551615})", kMax},
      {"int64 minimum", R"(ipcmsg:{"msgID":-9223372036854775808})", kMin},
      {"true", R"(ipcmsg:{"msgID":true})", 1},
      {"false", R"(ipcmsg:{"msgID":false})", 0},
      {"string with white space", R"(ipcmsg:{"msgID":" \t\n 2"})", 2},
      {"string with plus", R"(ipcmsg:{"msgID":"+2"})", 2},
      {"string with minus", R"(ipcmsg:{"msgID":" -7"})", -7},
      {"string with trailing text", R"(ipcmsg:{"msgID":"2abc"})", 2},
      {"string fraction", R"(ipcmsg:{"msgID":"2.9"})", 2},
      {"string without digits", R"(ipcmsg:{"msgID":"exit"})", 0},
      {"empty string", R"(ipcmsg:{"msgID":""})", 0},
      {"sign alone", R"(ipcmsg:{"msgID":"-"})", 0},
      {"two signs", R"(ipcmsg:{"msgID":"+-2"})", 0},
      {"string saturates up", R"(ipcmsg:{"msgID":"99999999999999999999"})",
       kMax},
      {"string saturates down", R"(ipcmsg:{"msgID":"-99999999999999999999"})",
       kMin},
      {"string int64 minimum", R"(ipcmsg:{"msgID":"-9223372036854775808"})",
       kMin},
      {"null id", R"(ipcmsg:{"msgID":null})", kNone},
      {"array id", R"(ipcmsg:{"msgID":[2]})", kNone},
      {"object id", R"(ipcmsg:{"msgID":{"v":2}})", kNone},
      {"id key in other case", R"(ipcmsg:{"msgid":2})", kNone},
      {"trailing garbage", R"(ipcmsg:{"msgID":2}x)", kNone},
      {"extra brace", R"(ipcmsg:{"msgID":2}})", kNone},
      {"unterminated", R"(ipcmsg:{"msgID":2)", kNone},
      {"comment", R"(ipcmsg:{"msgID":2/**/})", kNone},
      {"single quotes", "ipcmsg:{'msgID':2}", kNone},
      {"white space around", "ipcmsg: \r\n\t{\"msgID\":2} \n", 2},
      {"trailing newline", "ipcmsg:{\"msgID\":2}\n", 2},
      {"trailing NUL", std::string("ipcmsg:{\"msgID\":2}\0", 19), kNone},
      {"text and data kept apart",
       R"(ipcmsg:{"msgID":2,"msgText":"a","msgData":{"k":[1,null]}})", 2},
      {"non-string text", R"(ipcmsg:{"msgID":2,"msgText":[1]})", 2},
      {"UTF-8 text",
       "ipcmsg:{\"msgID\":2,\"msgText\":\"\xC3\xA9\xF0\x9F\x93\x96\"}", 2},
      {"invalid byte in string", "ipcmsg:{\"msgID\":2,\"msgText\":\"\xFF\"}",
       kNone},
      {"overlong slash", "ipcmsg:{\"msgID\":2,\"msgText\":\"\xC0\xAF\"}",
       kNone},
      {"surrogate half", "ipcmsg:{\"msgID\":2,\"msgText\":\"\xED\xA0\x80\"}",
       kNone},
      {"truncated sequence", "ipcmsg:{\"msgID\":2,\"msgText\":\"\xE2\x82\"}",
       kNone},
      {"beyond U+10FFFF",
       "ipcmsg:{\"msgID\":2,\"msgText\":\"\xF4\x90\x80\x80\"}", kNone},
      {"Latin-1 after object", "ipcmsg:{\"msgID\":2}\xE9", kNone},
      {"deepest data accepted",
       "ipcmsg:{\"msgID\":2,\"msgData\":" +
           nested(KXIPCMessage::kMaxNesting - 1, "1") + "}",
       2},
      {"data nested too deep",
       "ipcmsg:{\"msgID\":2,\"msgData\":" +
           nested(KXIPCMessage::kMaxNesting, "1") + "}",
       kNone},
      {"very deep garbage",
       "ipcmsg:{\"msgID\":2,\"d\":" + nested(100000, "") + "}", kNone},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto fromChunk = KXIPCMessage::ipcMessageFromChunk(c.text);
    const auto fromText = KXIPCMessage::ipcMessage(c.text);
    if (c.id == kNone) {
      EXPECT_FALSE(fromChunk.has_value());
      EXPECT_FALSE(fromText.has_value());
      continue;
    }
    ASSERT_TRUE(fromChunk.has_value());
    ASSERT_TRUE(fromText.has_value());
    EXPECT_EQ(fromChunk->mMsgID, c.id);
    EXPECT_EQ(fromText->mMsgID, c.id);
  }
}

TEST(IPCMessageParse, KeepsTextAndDataAsSent) {
  const auto message = KXIPCMessage::ipcMessage(
      R"(ipcmsg:{"msgID":3,"msgText":"half way","msgData":{"k":[1,"x"]}})");
  ASSERT_TRUE(message.has_value());
  EXPECT_EQ(message->mMsgText, "half way");
  EXPECT_EQ(message->mMsgData, json::parse(R"({"k":[1,"x"]})"));

  const auto numeric =
      KXIPCMessage::ipcMessage(R"(ipcmsg:{"msgID":3,"msgText":42})");
  ASSERT_TRUE(numeric.has_value());
  EXPECT_EQ(numeric->mMsgText, "42");
  EXPECT_TRUE(numeric->mMsgData.is_null());
}

TEST(IPCMessageWrite, TextForms) {
  KXIPCMessage unnamed;
  unnamed.mMsgID = 7;
  KXIPCMessage negative;
  negative.mMsgID = -5;
  KXIPCMessage quoted = KXIPCMessage::buildMsg_Progress("say \"hi\"\n", "");
  KXIPCMessage badText = KXIPCMessage::buildMsg_Progress("\xFF", nullptr);
  KXIPCMessage badKey = KXIPCMessage::buildMsg_Progress("", {{"\xC0", 1}});
  KXIPCMessage deepData = KXIPCMessage::buildMsg_Progress(
      "", json::parse(nested(KXIPCMessage::kMaxNesting, "1")));
  const struct {
    const char* name;
    KXIPCMessage message;
    const char* text;  // nullptr: cannot be written
  } kCases[] = {
      {"exit", KXIPCMessage::buildMsg_Exit(),
       R"(ipcmsg:{"msgDesc":"exit","msgID":2})"},
      {"new", KXIPCMessage(), R"(ipcmsg:{"msgDesc":"unkown","msgID":1})"},
      {"unnamed id", unnamed, R"(ipcmsg:{"msgID":7})"},
      {"negative id", negative, R"(ipcmsg:{"msgID":-5})"},
      {"progress", KXIPCMessage::buildMsg_Progress("half", "QUJD"),
       R"(ipcmsg:{"msgData":"QUJD","msgDesc":"Process","msgID":3,"msgText":"half"})"},
      {"empty text and data left out",
       KXIPCMessage::buildMsg_Progress("", json::array()),
       R"(ipcmsg:{"msgDesc":"Process","msgID":3})"},
      {"escaped text", quoted,
       R"(ipcmsg:{"msgDesc":"Process","msgID":3,"msgText":"say \"hi\"\n"})"},
      {"text not UTF-8", badText, nullptr},
      {"key not UTF-8", badKey, nullptr},
      {"data too deep", deepData, nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto text = KXIPCMessage::ipcMessageStr(c.message);
    if (c.text == nullptr) {
      EXPECT_FALSE(text.has_value());
      continue;
    }
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, c.text);
    // What the tool writes, it reads back as the same message.
    const auto back = KXIPCMessage::ipcMessageFromChunk(*text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->mMsgID, c.message.mMsgID);
    EXPECT_EQ(back->mMsgText, c.message.mMsgText);
  }
}

TEST(IPCMessageWrite, DictionaryHelpers) {
  EXPECT_FALSE(KXIPCMessage::dictionaryFromString("").has_value());
  EXPECT_FALSE(KXIPCMessage::dictionaryFromString("[1]").has_value());
  EXPECT_FALSE(KXIPCMessage::dictionaryFromString("{").has_value());
  EXPECT_EQ(KXIPCMessage::dictionaryFromString(" {} "), json::object());
  EXPECT_FALSE(KXIPCMessage::stringFromDictionary(json::object()).has_value());
  EXPECT_FALSE(
      KXIPCMessage::stringFromDictionary(json::array({1})).has_value());
  EXPECT_EQ(KXIPCMessage::stringFromDictionary({{"a", {1, 2}}, {"b", "c"}}),
            R"({"a":[1,2],"b":"c"})");
}

TEST(IPCMessageDescription, FourLines) {
  KXIPCMessage unnamed;
  unnamed.mMsgID = 9;
  const struct {
    const char* name;
    KXIPCMessage message;
    const char* text;
  } kCases[] = {
      {"new", KXIPCMessage(), "id:1\ndesc:unkown\ntext:\ndata:\n"},
      {"exit", KXIPCMessage::buildMsg_Exit(),
       "id:2\ndesc:exit\ntext:\ndata:\n"},
      {"unnamed", unnamed, "id:9\ndesc:\ntext:\ndata:\n"},
      {"progress", KXIPCMessage::buildMsg_Progress("t", "QUJD"),
       "id:3\ndesc:Process\ntext:t\ndata:QUJD\n"},
      {"structured data", KXIPCMessage::buildMsg_Progress("", {1, "a"}),
       "id:3\ndesc:Process\ntext:\ndata:[1,\"a\"]\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.message.description(), c.text);
  }
}

}  // namespace
