// The registry keys the shell keeps for sync roots, read, written and removed through advapi32.
#include <windows.h>

#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "platform/windows/platform_windows.h"

namespace ostrasync::platform {
namespace {

constexpr Win32Error kMoreData = 234;     // ERROR_MORE_DATA
constexpr Win32Error kNotEnoughMemory = 8;  // ERROR_NOT_ENOUGH_MEMORY

// An open registry key, closed when the holder goes.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY get() const { return key_; }
  HKEY* out() { return &key_; }

 private:
  HKEY key_ = nullptr;
};

HKEY RootKey(RegistryRoot root) {
  return root == RegistryRoot::kLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

// The text of string data as stored. Nothing guarantees the terminator (a writer may leave it out,
// or store an odd number of bytes): the text is what the data holds, up to the first NUL if any.
std::u16string StoredText(const std::vector<uint8_t>& data, DWORD size) {
  std::u16string text(size / sizeof(char16_t), u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  const size_t end = text.find(u'\0');
  if (end != std::u16string::npos) text.resize(end);
  return text;
}

class WindowsRegistry final : public Registry {
 public:
  Win32Error ReadValue(RegistryRoot root, const std::u16string& key, const std::u16string& name, uint32_t* type,
                       std::u16string* value) override {
    if (type != nullptr) *type = 0;
    if (value != nullptr) value->clear();
    if (HasEmbeddedNul(key) || HasEmbeddedNul(name)) return win32::kInvalidParameter;
    try {
      return Read(root, key, name, type, value);
    } catch (const std::bad_alloc&) {
      if (value != nullptr) value->clear();
      return kNotEnoughMemory;
    }
  }

  Win32Error DeleteTree(RegistryRoot root, const std::u16string& key) override {
    if (HasEmbeddedNul(key)) return win32::kInvalidParameter;
    // An empty name (or one made of separators only) names the hive itself: removing "its tree"
    // would wipe every key of the user or the machine. No caller means that; refuse it.
    if (key.find_first_not_of(u'\\') == std::u16string::npos) return win32::kInvalidParameter;
    {
      Key opened;
      LSTATUS status = RegOpenKeyExW(RootKey(root), Wide(key), 0,
                                     DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE,
                                     opened.out());
      if (status != ERROR_SUCCESS) return static_cast<Win32Error>(status);
      // Without a subkey name RegDeleteTreeW empties the key (its values and all keys below) but
      // leaves the key itself, which goes next.
      status = RegDeleteTreeW(opened.get(), nullptr);
      if (status != ERROR_SUCCESS) return static_cast<Win32Error>(status);
    }
    return static_cast<Win32Error>(RegDeleteKeyW(RootKey(root), Wide(key)));
  }

  Win32Error WriteString(RegistryRoot root, const std::u16string& key, const std::u16string& name,
                         const std::u16string& value) override {
    // A NUL inside the value would end the text for every reader, which would see a shorter value
    // than the one written.
    if (HasEmbeddedNul(key) || HasEmbeddedNul(name) || HasEmbeddedNul(value)) return win32::kInvalidParameter;
    if (value.size() >= std::numeric_limits<DWORD>::max() / sizeof(char16_t)) return win32::kInvalidParameter;
    Key created;
    LSTATUS status = RegCreateKeyExW(RootKey(root), Wide(key), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                     nullptr, created.out(), nullptr);
    if (status != ERROR_SUCCESS) return static_cast<Win32Error>(status);
    const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(char16_t));  // with the terminator
    status = RegSetValueExW(created.get(), Wide(name), 0, REG_SZ, reinterpret_cast<const BYTE*>(Wide(value)), bytes);
    return static_cast<Win32Error>(status);
  }

 private:
  static Win32Error Read(RegistryRoot root, const std::u16string& key, const std::u16string& name, uint32_t* type,
                         std::u16string* value) {
    Key opened;
    LSTATUS status = RegOpenKeyExW(RootKey(root), Wide(key), 0, KEY_QUERY_VALUE, opened.out());
    if (status != ERROR_SUCCESS) return static_cast<Win32Error>(status);
    DWORD value_type = REG_NONE;
    DWORD size = 0;
    status = RegQueryValueExW(opened.get(), Wide(name), nullptr, &value_type, nullptr, &size);
    if (status != ERROR_SUCCESS) return static_cast<Win32Error>(status);
    std::vector<uint8_t> data;
    // The value may grow between asking its size and reading it; ask again until it fits.
    for (;;) {
      data.assign(size, 0);
      DWORD read = size;
      status = RegQueryValueExW(opened.get(), Wide(name), nullptr, &value_type, data.empty() ? nullptr : data.data(),
                                &read);
      if (status == ERROR_SUCCESS) {
        size = read;
        break;
      }
      if (static_cast<Win32Error>(status) != kMoreData) return static_cast<Win32Error>(status);
      size = read > size ? read : size + 256;
    }
    if (type != nullptr) *type = value_type;
    if (value != nullptr && (value_type == REG_SZ || value_type == REG_EXPAND_SZ)) {
      *value = StoredText(data, size);
    }
    return 0;
  }
};

}  // namespace

std::unique_ptr<Registry> NewWindowsRegistry() { return std::make_unique<WindowsRegistry>(); }

}  // namespace ostrasync::platform
