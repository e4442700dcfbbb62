// The desktop's secret store (the Secret Service that GNOME Keyring and
// KWallet provide, over the session bus): one text secret per key, kept in
// the user's default collection. Every call may wait on the store (an unlock
// prompt), so only worker threads make them.
#pragma once

#include <cstdint>

enum SysKeyring : uint32_t {
  SYS_KEYRING_OK = 0,
  SYS_KEYRING_MISSING = 1,      // lookup: the store has nothing under the key
  SYS_KEYRING_UNAVAILABLE = 2,  // no session bus or no secret service on it
  SYS_KEYRING_REFUSED = 3,      // the store is locked, the user dismissed its prompt, or it failed
};

// Whether a session bus is there to ask, without asking it.
bool sys_keyring_present();
SysKeyring sys_keyring_store(const char* key, const char* label, const char* secret);
// The secret under `key` into `out` (at most size - 1 bytes; a longer one is
// refused); `out` is emptied when the result is not SYS_KEYRING_OK.
SysKeyring sys_keyring_lookup(const char* key, char* out, uint64_t size);
// Removes the key's secret; removing what is not there succeeds.
SysKeyring sys_keyring_clear(const char* key);
