// Feeds arbitrary chunks to the control channel parser. Besides not
// crashing, every message it accepts must be writable and must read back
// as the same message.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "resbundle/KXIPCMessage.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

bool hasData(const nlohmann::json& data) {
  if (data.is_null()) return false;
  if (data.is_string()) return !data.get_ref<const std::string&>().empty();
  if (data.is_structured()) return !data.empty();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view chunk(reinterpret_cast<const char*>(data), size);
  const auto message = KXIPCMessage::ipcMessageFromChunk(chunk);
  // The chunk check only adds the UTF-8 test, which the JSON parser makes
  // anyway: both must agree.
  require(message.has_value() == KXIPCMessage::ipcMessage(chunk).has_value());
  if (!message) return 0;

  (void)message->description();
  const auto text = KXIPCMessage::ipcMessageStr(*message);
  require(text.has_value());
  const auto back = KXIPCMessage::ipcMessageFromChunk(*text);
  require(back.has_value());
  require(back->mMsgID == message->mMsgID);
  require(back->mMsgText == message->mMsgText);
  require(hasData(back->mMsgData) == hasData(message->mMsgData));
  if (hasData(message->mMsgData)) require(back->mMsgData == message->mMsgData);
  return 0;
}
