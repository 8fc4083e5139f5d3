// OstraSync_Kelvo_Do: reads each method's slots, converts its strings to UTF-16 and calls the
// engine operation behind it.
#include <cstring>
#include <span>
#include <string>

#include "component/kelvo.h"
#include "engine/error_codes.h"
#include "platform/text_codec.h"

namespace ostrasync::component {
namespace {

// Slot layouts of methods 2 to 32, one letter a slot: s string, i int, q pointer to a 64-bit
// value, b byte buffer (length in cbparams), o int written back into the slot.
constexpr const char* kSlotLayouts[] = {
    /* 2 Activate */ "i",
    /* 3 Config */ "",  // handled on its own
    /* 4 CreateFile */ "siqqqq",
    /* 5 CreateFolder */ "siqqq",
    /* 6 Deactivate */ "",
    /* 7 DeleteFile */ "s",
    /* 8 DeleteFolder */ "si",
    /* 9 FinalizeTask */ "qi",
    /* 10 GetFileAttributes */ "so",
    /* 11 GetLocalData */ "qqbiio",
    /* 12 GetFileStatus */ "so",
    /* 13 GetFolderAttributes */ "so",
    /* 14 GetFolderStatus */ "so",
    /* 15 Install */ "",
    /* 16 ListFile */ "qsiqqqq",
    /* 17 ListFolder */ "qsiqqq",
    /* 18 PinFile */ "s",
    /* 19 PinFolder */ "s",
    /* 20 PutFileData */ "qbii",
    /* 21 RenameFile */ "ssi",
    /* 22 RenameFolder */ "ss",
    /* 23 ResetFile */ "s",
    /* 24 ResetFolder */ "s",
    /* 25 SetFileAttributes */ "si",
    /* 26 SetFolderAttributes */ "si",
    /* 27 SyncFile */ "s",
    /* 28 Uninstall */ "",
    /* 29 UnpinFile */ "s",
    /* 30 UnpinFolder */ "s",
    /* 31 UpdateFile */ "siqqqq",
    /* 32 UpdateFolder */ "siqqq",
};

constexpr int kFirstMethod = 2;
constexpr int kLastMethod = 32;
constexpr int kConversionService = 2003;

// A method's arguments, read from the host's slots in order.
struct MethodArgs {
  std::u16string text[2];
  int32_t ints[3] = {};
  int64_t wide[5] = {};
  std::span<uint8_t> buffer;
  int out = 0;
  int out_slot = -1;
};

// An empty but valid buffer for a null buffer slot of length 0.
uint8_t g_empty_buffer[1];

// Reads the slots described by `layout`. Returns 0, the code of a failed string conversion (with
// `*conversion_failed` set), or 0x21000004 for slots the host left unusable.
int ReadArgs(const char* layout, bool utf16, uint32_t code_page, void** params, int* cbparams,
             MethodArgs* args, bool* conversion_failed) {
  const std::size_t slot_count = std::strlen(layout);
  if (slot_count == 0) return 0;
  if (params == nullptr) return OSTRASYNC_ERR_INVALID_PARAMETER;
  if (std::strchr(layout, 'b') != nullptr && cbparams == nullptr) return OSTRASYNC_ERR_INVALID_PARAMETER;
  int texts = 0, ints = 0, wides = 0;
  for (std::size_t i = 0; i < slot_count; ++i) {
    void* slot = params[i];
    switch (layout[i]) {
      case 's': {
        std::u16string& text = args->text[texts++];
        if (slot == nullptr) break;  // a null string is the empty string
        if (utf16) {
          text.assign(AsUtf16(slot));
        } else if (const int rc = platform::ToUtf16(code_page, static_cast<const char*>(slot), &text); rc != 0) {
          *conversion_failed = true;
          return rc;
        }
        break;
      }
      case 'i':
        args->ints[ints++] = static_cast<int32_t>(reinterpret_cast<intptr_t>(slot));
        break;
      case 'q':
        if (slot == nullptr) return OSTRASYNC_ERR_INVALID_PARAMETER;
        args->wide[wides++] = *static_cast<const int64_t*>(slot);
        break;
      case 'b': {
        const int length = cbparams[i];
        if (length < 0 || (slot == nullptr && length > 0)) return OSTRASYNC_ERR_INVALID_PARAMETER;
        args->buffer = slot ? std::span<uint8_t>(static_cast<uint8_t*>(slot), static_cast<std::size_t>(length))
                            : std::span<uint8_t>(g_empty_buffer, 0);
        break;
      }
      case 'o':
        args->out_slot = static_cast<int>(i);
        break;
    }
  }
  return 0;
}

int CallEngine(engine::SyncEngine& e, int method, MethodArgs& a) {
  const std::u16string& s0 = a.text[0];
  const std::u16string& s1 = a.text[1];
  const int32_t* n = a.ints;
  const int64_t* q = a.wide;
  switch (method) {
    case 2: return e.do_Activate(n[0] != 0);
    case 4: return e.do_CreateFile(s0, n[0], q[0], q[1], q[2], q[3]);
    case 5: return e.do_CreateFolder(s0, n[0], q[0], q[1], q[2]);
    case 6: return e.do_Deactivate();
    case 7: return e.do_DeleteFile(s0);
    case 8: return e.do_DeleteFolder(s0, n[0] != 0);
    case 9: return e.FinalizeTask(q[0], n[0]);
    case 10: return e.do_GetFileAttributes(s0, &a.out);
    case 11: return e.GetLocalData(q[0], q[1], a.buffer, n[0], n[1], &a.out);
    case 12: return e.do_GetFileStatus(s0, &a.out);
    case 13: return e.do_GetFolderAttributes(s0, &a.out);
    case 14: return e.do_GetFolderStatus(s0, &a.out);
    case 15: return e.Install();
    case 16: return e.do_ListFile(q[0], s0, n[0], q[1], q[2], q[3], q[4]);
    case 17: return e.do_ListFolder(q[0], s0, n[0], q[1], q[2], q[3]);
    case 18: return e.do_PinFile(s0);
    case 19: return e.do_PinFolder(s0);
    case 20: return e.PutFileData(q[0], a.buffer, n[0], n[1]);
    case 21: return e.do_RenameFile(s0, s1, n[0] != 0);
    case 22: return e.do_RenameFolder(s0, s1);
    case 23: return e.do_ResetFile(s0);
    case 24: return e.do_ResetFolder(s0);
    case 25: return e.do_SetFileAttributes(s0, n[0]);
    case 26: return e.do_SetFolderAttributes(s0, n[0]);
    case 27: return e.do_SyncFile(s0);
    case 28: return e.Uninstall();
    case 29: return e.do_UnpinFile(s0);
    case 30: return e.do_UnpinFolder(s0);
    case 31: return e.do_UpdateFile(s0, n[0], q[0], q[1], q[2], q[3]);
    case 32: return e.do_UpdateFolder(s0, n[0], q[0], q[1], q[2]);
  }
  return 0;
}

}  // namespace

int Kelvo::Do(int method_id, int param_count, void** params, int* cbparams) {
  // The conversion service answers only to its own id; 12003 is an unknown method.
  if (method_id == kConversionService) return ConvertToUtf16Service(param_count, params, cbparams);
  const bool utf16 = method_id > 10000;
  const int method = utf16 ? method_id - 10000 : method_id;
  int result = 0;
  if (method >= kFirstMethod && method <= kLastMethod) {
    bool conversion_failed = false;
    result = DoMethod(method, utf16, params, cbparams, &conversion_failed);
    // A string that could not be converted ends the call before anything else happened.
    if (conversion_failed) return result;
  }
  return RecordCallResult(result);
}

int Kelvo::DoMethod(int method, bool utf16, void** params, int* cbparams, bool* conversion_failed) {
  if (method == 3) return DoConfig(utf16, params, conversion_failed);
  MethodArgs args;
  const int rc = ReadArgs(kSlotLayouts[method - kFirstMethod], utf16, engine_->code_page(), params,
                          cbparams, &args, conversion_failed);
  if (*conversion_failed) return rc;
  if (rc != 0) return engine_->RecordError(rc);
  const int result = CallEngine(*engine_, method, args);
  if (args.out_slot >= 0) params[args.out_slot] = reinterpret_cast<void*>(static_cast<intptr_t>(args.out));
  return result;
}

}  // namespace ostrasync::component
