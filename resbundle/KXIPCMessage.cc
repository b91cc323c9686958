#include "resbundle/KXIPCMessage.h"

#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

namespace {

using nlohmann::json;

constexpr std::string_view kHeader = "ipcmsg:";

constexpr std::pair<int64_t, std::string_view> kMessageNames[] = {
    {KXIPCMessage::kMsgIDUnknown, "unkown"},
    {KXIPCMessage::kMsgIDExit, "exit"},
    {KXIPCMessage::kMsgIDProgress, "Process"},
};

// Well-formed UTF-8 (RFC 3629): for each lead byte range, the sequence
// length and the allowed range of the second byte; later bytes are always
// 0x80-0xBF. The narrowed second-byte ranges exclude overlong forms,
// surrogates and code points above U+10FFFF.
struct Utf8Lead {
  unsigned char leadLow, leadHigh;
  int length;
  unsigned char secondLow, secondHigh;
};
constexpr Utf8Lead kUtf8Leads[] = {
    {0x00, 0x7F, 1, 0, 0},       {0xC2, 0xDF, 2, 0x80, 0xBF},
    {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF},
    {0xF0, 0xF0, 4, 0x90, 0xBF}, {0xF1, 0xF3, 4, 0x80, 0xBF},
    {0xF4, 0xF4, 4, 0x80, 0x8F},
};

const Utf8Lead* findLead(unsigned char byte) {
  for (const Utf8Lead& lead : kUtf8Leads) {
    if (byte >= lead.leadLow && byte <= lead.leadHigh) return &lead;
  }
  return nullptr;
}

bool isValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const Utf8Lead* lead = findLead(static_cast<unsigned char>(text[i]));
    if (lead == nullptr || text.size() - i < size_t(lead->length)) {
      return false;
    }
    for (int k = 1; k < lead->length; ++k) {
      const auto byte = static_cast<unsigned char>(text[i + k]);
      const unsigned char low = k == 1 ? lead->secondLow : 0x80;
      const unsigned char high = k == 1 ? lead->secondHigh : 0xBF;
      if (byte < low || byte > high) return false;
    }
    i += lead->length;
  }
  return true;
}

// Whether value can be written by the JSON library without it throwing
// (strings and keys must be UTF-8) or recursing too deep. Walks the tree
// with its own stack so that checking never recurses either.
bool isWritable(const json& value) {
  std::vector<std::pair<const json*, int>> pending = {{&value, 1}};
  while (!pending.empty()) {
    const auto [node, level] = pending.back();
    pending.pop_back();
    if (node->is_string()) {
      if (!isValidUtf8(node->get_ref<const std::string&>())) return false;
      continue;
    }
    if (!node->is_structured()) continue;
    if (level > KXIPCMessage::kMaxNesting) return false;
    for (auto it = node->begin(); it != node->end(); ++it) {
      if (node->is_object() && !isValidUtf8(it.key())) return false;
      pending.push_back({&*it, level + 1});
    }
  }
  return true;
}

std::optional<std::string> compactText(const json& value) {
  if (!isWritable(value)) return std::nullopt;
  return value.dump();
}

bool isPresentAndNonEmpty(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
    case json::value_t::discarded:
      return false;
    case json::value_t::string:
      return !value.get_ref<const std::string&>().empty();
    case json::value_t::array:
    case json::value_t::object:
    case json::value_t::binary:
      return !value.empty();
    default:
      return true;
  }
}

int64_t saturatedFromDouble(double value) {
  // 2^63 is exactly representable; casting anything at or beyond it (in
  // either direction) would be undefined behaviour.
  constexpr double kLimit = 9223372036854775808.0;
  if (value >= kLimit) return std::numeric_limits<int64_t>::max();
  if (value <= -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

bool isAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// The decimal integer at the start of text, after optional white space and
// one sign; 0 when there is none, saturated when it does not fit.
int64_t leadingInteger(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && isAsciiSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate towards the sign's side so that INT64_MIN is reachable.
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t result = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    if (negative) {
      if (result < (kMin + digit) / 10) return kMin;
      result = result * 10 - digit;
    } else {
      if (result > (kMax - digit) / 10) return kMax;
      result = result * 10 + digit;
    }
  }
  return result;
}

// The id a "msgID" value stands for; nothing for null, arrays and objects.
std::optional<int64_t> idFromValue(const json& value) {
  switch (value.type()) {
    case json::value_t::number_unsigned: {
      const uint64_t id = value.get<uint64_t>();
      constexpr auto kMax = uint64_t(std::numeric_limits<int64_t>::max());
      return int64_t(id > kMax ? kMax : id);
    }
    case json::value_t::number_integer:
      return value.get<int64_t>();
    case json::value_t::number_float:
      return saturatedFromDouble(value.get<double>());
    case json::value_t::boolean:
      return value.get<bool>() ? 1 : 0;
    case json::value_t::string:
      return leadingInteger(value.get_ref<const std::string&>());
    default:
      return std::nullopt;
  }
}

}  // namespace

std::string_view KXIPCMessage::ipcMessageHeader() { return kHeader; }

bool KXIPCMessage::isIPCMessage(std::string_view text) {
  return !text.empty() && text.starts_with(kHeader);
}

std::optional<KXIPCMessage> KXIPCMessage::ipcMessage(std::string_view text) {
  if (!isIPCMessage(text) || text.size() <= kHeader.size()) {
    return std::nullopt;
  }
  std::optional<json> object =
      dictionaryFromString(text.substr(kHeader.size()));
  if (!object || object->empty()) return std::nullopt;
  const auto idMember = object->find("msgID");
  if (idMember == object->end()) return std::nullopt;
  const std::optional<int64_t> id = idFromValue(*idMember);
  if (!id) return std::nullopt;

  KXIPCMessage message;
  message.mMsgID = *id;
  if (auto text_member = object->find("msgText");
      text_member != object->end()) {
    if (text_member->is_string()) {
      message.mMsgText = std::move(text_member->get_ref<std::string&>());
    } else if (!text_member->is_null()) {
      message.mMsgText = compactText(*text_member).value_or("");
    }
  }
  if (auto data = object->find("msgData"); data != object->end()) {
    // Moved, not copied: copying a JSON value recurses once per level.
    message.mMsgData = std::move(*data);
  }
  return message;
}

std::optional<KXIPCMessage> KXIPCMessage::ipcMessageFromChunk(
    std::string_view bytes) {
  if (!isValidUtf8(bytes) || !isIPCMessage(bytes)) return std::nullopt;
  return ipcMessage(bytes);
}

std::optional<std::string> KXIPCMessage::ipcMessageStr(
    const KXIPCMessage& message) {
  json object = json::object();
  object["msgID"] = message.mMsgID;
  if (const auto name = messageDesc(message.mMsgID)) {
    object["msgDesc"] = std::string(*name);
  }
  if (!message.mMsgText.empty()) object["msgText"] = message.mMsgText;
  // Check before copying the data into the object: a copy recurses.
  if (isPresentAndNonEmpty(message.mMsgData)) {
    if (!isWritable(message.mMsgData)) return std::nullopt;
    object["msgData"] = message.mMsgData;
  }
  std::optional<std::string> body = stringFromDictionary(object);
  if (!body) return std::nullopt;
  return std::string(kHeader) + *body;
}

std::optional<std::string_view> KXIPCMessage::messageDesc(int64_t id) {
  for (const auto& [known, name] : kMessageNames) {
    if (known == id) return name;
  }
  return std::nullopt;
}

std::optional<json> KXIPCMessage::dictionaryFromString(std::string_view text) {
  // A raw NUL byte is never valid JSON, but the library takes it for the end
  // of the input and would accept whatever came before it.
  if (text.empty() || text.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  // The callback sees every container as it opens, at the depth of its
  // parent; refusing too deep ones keeps them out of the tree altogether.
  bool tooDeep = false;
  const json::parser_callback_t limitDepth =
      [&tooDeep](int depth, json::parse_event_t event, json&) {
        const bool opens = event == json::parse_event_t::object_start ||
                           event == json::parse_event_t::array_start;
        if (opens && depth >= kMaxNesting) {
          tooDeep = true;
          return false;
        }
        return true;
      };
  json value = json::parse(text.begin(), text.end(), limitDepth,
                           /*allow_exceptions=*/false);
  if (tooDeep || !value.is_object()) return std::nullopt;
  return value;
}

std::optional<std::string> KXIPCMessage::stringFromDictionary(
    const json& dictionary) {
  if (!dictionary.is_object() || dictionary.empty()) return std::nullopt;
  return compactText(dictionary);
}

KXIPCMessage KXIPCMessage::buildMsg_Exit() {
  KXIPCMessage message;
  message.mMsgID = kMsgIDExit;
  return message;
}

KXIPCMessage KXIPCMessage::buildMsg_Progress(std::string text, json data) {
  KXIPCMessage message;
  message.mMsgID = kMsgIDProgress;
  message.mMsgText = std::move(text);
  message.mMsgData = std::move(data);
  return message;
}

std::optional<std::string_view> KXIPCMessage::msgDesc() const {
  return messageDesc(mMsgID);
}

std::string KXIPCMessage::description() const {
  std::string data;
  if (mMsgData.is_string()) {
    data = mMsgData.get_ref<const std::string&>();
  } else if (isPresentAndNonEmpty(mMsgData)) {
    data = compactText(mMsgData).value_or("");
  }
  return "id:" + std::to_string(mMsgID) + "\n" +
         "desc:" + std::string(msgDesc().value_or("")) + "\n" +
         "text:" + mMsgText + "\n" + "data:" + data + "\n";
}
