// KXIPCMessage: one message of resbundle's control channel on standard
// input, and its text form: the prefix "ipcmsg:" followed by one compact
// JSON object, for example ipcmsg:{"msgID":2,"msgDesc":"exit"}.
//
// The host writes one message per write; the tool only reads them, and only
// id 2 ("exit") has an effect there: it cancels the running job. Everything
// that is not a valid message gives no message and no error.
//
// All operations are pure functions of their arguments, safe on any thread,
// and never throw.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

class KXIPCMessage {
 public:
  // Message kinds; the names of the first three come from messageDesc.
  static constexpr int64_t kMsgIDUnknown = 1;   // "unkown", no effect
  static constexpr int64_t kMsgIDExit = 2;      // "exit", cancels the job
  static constexpr int64_t kMsgIDProgress = 3;  // "Process", no effect here

  // Deepest JSON nesting a message may hold. Deeper input is refused by
  // dictionaryFromString (and so by ipcMessage), and a message whose data is
  // nested deeper cannot be written: no real message comes close, and the
  // library's copying and printing recurse once per level.
  static constexpr int kMaxNesting = 64;

  // A new message: id 1, no text, no data.
  KXIPCMessage() = default;

  // "ipcmsg:".
  static std::string_view ipcMessageHeader();

  // True when text is non-empty and starts with the prefix, compared
  // case-sensitively.
  static bool isIPCMessage(std::string_view text);

  // Parses the text form. Nothing unless text is the prefix followed by a
  // JSON object (white space around it allowed) with at least one member,
  // among them "msgID" as a number (fraction dropped, saturated to 64 bits),
  // a boolean (1 or 0) or a string (the decimal integer at its start after
  // optional white space and sign, 0 if none). "msgText" and "msgData" are
  // kept when present; every other member is ignored.
  static std::optional<KXIPCMessage> ipcMessage(std::string_view text);

  // A chunk read from the channel: nothing when the bytes are not valid
  // UTF-8 or do not pass isIPCMessage, otherwise ipcMessage of them. The
  // whole chunk is taken as one message text.
  static std::optional<KXIPCMessage> ipcMessageFromChunk(
      std::string_view bytes);

  // The text form of message: "msgID", then "msgDesc" when the id has a
  // name, "msgText" when the text is non-empty, "msgData" when the data is
  // non-empty. Nothing when the JSON cannot be produced (a string that is
  // not UTF-8, or data that makes the object nest deeper than kMaxNesting).
  static std::optional<std::string> ipcMessageStr(const KXIPCMessage& message);

  // The name of a message kind: "unkown", "exit", "Process" for ids 1 to 3,
  // nothing for every other id.
  static std::optional<std::string_view> messageDesc(int64_t id);

  // text parsed as one JSON object; nothing for empty text, a parse error,
  // a top level that is not an object, or nesting deeper than kMaxNesting.
  static std::optional<nlohmann::json> dictionaryFromString(
      std::string_view text);

  // dictionary as compact UTF-8 JSON; nothing when it is not an object, is
  // empty, or cannot be written (see ipcMessageStr).
  static std::optional<std::string> stringFromDictionary(
      const nlohmann::json& dictionary);

  // A new message with id 2.
  static KXIPCMessage buildMsg_Exit();
  // A new message with id 3 carrying text and data.
  static KXIPCMessage buildMsg_Progress(std::string text, nlohmann::json data);

  // The name of this message's id, as messageDesc.
  std::optional<std::string_view> msgDesc() const;

  // Four lines: "id:<id>", "desc:<name>", "text:<text>", "data:<data>",
  // each ending in "\n", a missing value written as empty text. A string
  // payload is written as it is, any other payload as compact JSON.
  std::string description() const;

  // The message kind.
  int64_t mMsgID = kMsgIDUnknown;
  // Free text; empty when absent. A non-string "msgText" read from the
  // channel is kept as its compact JSON text.
  std::string mMsgText;
  // Free data, kept as the JSON value it arrived as; null when absent. JSON
  // has no byte type: a sender of raw bytes must agree an encoding (such as
  // base64 in a string) with its reader. This tool never reads it.
  nlohmann::json mMsgData;
};
