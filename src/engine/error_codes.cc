// The table of component codes and the lookup of a code's text.
#include "engine/error_codes.h"

#include <array>

#include "platform/system_info.h"

namespace ostrasync::engine {
namespace {

struct CodeText {
  int code;
  const char* text;  // null: the code has no text of its own
};

constexpr std::array<CodeText, 25> kComponentCodes{{
    {OSTRASYNC_ERR_PENDING, nullptr},
    {OSTRASYNC_ERR_NOT_ACTIVE, "The sync operation is not active"},
    {OSTRASYNC_ERR_ALREADY_STARTED, "The sync operation has already been started"},
    {OSTRASYNC_ERR_INVALID_PARAMETER, "Invalid input parameter"},
    {OSTRASYNC_ERR_INVALID_OPID, "Invalid OpId"},
    {OSTRASYNC_ERR_OPERATION_DENIED, "Operation denied"},
    {OSTRASYNC_ERR_INIT_FAILED, "Initialization failed"},
    {OSTRASYNC_ERR_NOT_INSTALLED, "Install must be called before performing this operation"},
    {OSTRASYNC_ERR_LOCAL_DATA_EOF, nullptr},
    {OSTRASYNC_ERR_LOCAL_DATA, nullptr},
    {OSTRASYNC_ERR_TOO_MANY_ITEMS, "Too many items reported by enumeration event hadler"},
    {OSTRASYNC_ERR_ITEM_NOT_FOUND, "Item not found"},
    {OSTRASYNC_ERR_ITEM_GONE, nullptr},
    {OSTRASYNC_ERR_ITEM_EXISTS, "Item already exists"},
    {OSTRASYNC_ERR_INVALID_ITEM_NAME, "Invalid item name"},
    {OSTRASYNC_ERR_INVALID_ITEM_ID, "Invalid item Id"},
    {OSTRASYNC_ERR_INVALID_ITEM_ATTRIBUTES, "Invalid item attributes"},
    {OSTRASYNC_ERR_INVALID_ITEM_PROPERTY, "Invalid item property value"},
    {OSTRASYNC_ERR_DATA_NOT_COMPLETED, nullptr},
    {OSTRASYNC_ERR_CANCELLED, nullptr},
    {OSTRASYNC_ERR_TASK_EXPIRED, nullptr},
    {OSTRASYNC_ERR_BACKEND, "Synchronization failed because of backend error"},
    {OSTRASYNC_ERR_OS_CALL, "The OS call failed with an error"},
    {OSTRASYNC_ERR_RETRY_LATER, nullptr},
    {OSTRASYNC_ERR_INTERNAL, nullptr},
}};

bool IsComponentFamily(int code) { return code >= 0x21000000; }

}  // namespace

const char* ComponentCodeText(int code) {
  if (!IsComponentFamily(code)) return nullptr;
  for (const CodeText& entry : kComponentCodes) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

std::string TextOfCode(int code) {
  if (code == 0) return {};
  if (IsComponentFamily(code)) {
    for (const CodeText& entry : kComponentCodes) {
      if (entry.code == code) return entry.text ? entry.text : "";
    }
    return "Unknown error";
  }
  if (code == OSTRASYNC_ERR_OUT_OF_MEMORY) return kTextOutOfMemory;
  return platform::SystemMessage(static_cast<uint32_t>(code));
}

}  // namespace ostrasync::engine
