// The component's result codes and the texts that go with them.
#ifndef OSTRASYNC_ENGINE_ERROR_CODES_H_
#define OSTRASYNC_ENGINE_ERROR_CODES_H_

#include <cstdint>
#include <string>

#include "ostrasync.h"

namespace ostrasync::engine {

// Windows codes the component chooses itself.
inline constexpr int kWinNotReady = 21;
inline constexpr int kWinInternalError = 1359;

// Texts recorded with a code instead of the table text; hosts match on them.
inline constexpr char kTextNotActive[] = "The sync operation is not active";
inline constexpr char kTextOutOfMemory[] = "Out of memory.";
inline constexpr char kTextUnknownSetting[] = "Unknown config setting.";
inline constexpr char kTextProviderNameTooLong[] =
    "The Windows registration provider name or version the maximum length of 255 characters";
inline constexpr char kTextLocalPathUnparsable[] = "The LocalPath parameter could not be parsed";
inline constexpr char kTextInvalidLocalPath[] = "Invalid local path specified";
inline constexpr char kTextBadBufferArguments[] =
    "Invalid combination of buffer size, Index, and Count parameters";
inline constexpr char kTextNoOperationForOpId[] = "No operation found by the provided OpId";
inline constexpr char kTextNotASyncRoot[] = "The specified SyncRootPath is not a valid synchronization root";
inline constexpr char kTextAsyncOperationFailed[] = "Asynchronous operation failed";
inline constexpr char kTextPlaceholderCallbackFailed[] = "Placeholder callback failed";

// The text of a code: the component's table text ("Unknown error" for a code of the component
// family it lacks), the system's message for a Windows code, or empty.
std::string TextOfCode(int code);

// The table text of a component code, or null when the table gives none.
const char* ComponentCodeText(int code);

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_ERROR_CODES_H_
