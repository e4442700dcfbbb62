// The secret store through libsecret. Secrets are looked up into
// non-pageable memory and freed with libsecret's own wiping free; the
// caller's copy lives in its secret block.
#include "platform/keyring.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <libsecret/secret.h>

namespace {

const SecretSchema* schema() {
  static const SecretSchema kSchema = [] {
    SecretSchema made{};
    made.name = "org.zarnel.Kelvra.Account";
    made.flags = SECRET_SCHEMA_NONE;
    made.attributes[0] = {"application", SECRET_SCHEMA_ATTRIBUTE_STRING};
    made.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return made;
  }();
  return &kSchema;
}

constexpr char kApplication[] = "zarnel-kelvra";

SysKeyring outcome(GError* error) {
  if (error == nullptr) return SYS_KEYRING_OK;
  SysKeyring result = SYS_KEYRING_REFUSED;
  // No bus, no service answering on it, or a bus that cannot be reached.
  if (error->domain == G_DBUS_ERROR || (error->domain == G_IO_ERROR && error->code != G_IO_ERROR_CANCELLED) ||
      (error->domain == G_SPAWN_ERROR))
    result = SYS_KEYRING_UNAVAILABLE;
  if (error->domain == SECRET_ERROR) result = SYS_KEYRING_REFUSED;
  g_error_free(error);
  return result;
}

}  // namespace

bool sys_keyring_present() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && address[0] != '\0') return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || runtime[0] == '\0') return false;
  const std::string bus = std::string(runtime) + "/bus";
  struct stat info{};
  return stat(bus.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

SysKeyring sys_keyring_store(const char* key, const char* label, const char* secret) {
  if (!sys_keyring_present()) return SYS_KEYRING_UNAVAILABLE;
  GError* error = nullptr;
  const gboolean stored = secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label, secret, nullptr,
                                                     &error, "application", kApplication, "account", key, nullptr);
  if (!stored && error == nullptr) return SYS_KEYRING_REFUSED;
  return outcome(error);
}

SysKeyring sys_keyring_lookup(const char* key, char* out, uint64_t size) {
  if (size > 0) out[0] = '\0';
  if (!sys_keyring_present()) return SYS_KEYRING_UNAVAILABLE;
  GError* error = nullptr;
  gchar* secret = secret_password_lookup_nonpageable_sync(schema(), nullptr, &error, "application", kApplication,
                                                          "account", key, nullptr);
  const SysKeyring result = outcome(error);
  if (result != SYS_KEYRING_OK) return result;
  if (secret == nullptr) return SYS_KEYRING_MISSING;
  const uint64_t length = std::strlen(secret);
  const bool fits = length > 0 && length < size;
  if (fits) std::memcpy(out, secret, length + 1);
  secret_password_free(secret);
  return fits ? SYS_KEYRING_OK : SYS_KEYRING_REFUSED;
}

SysKeyring sys_keyring_clear(const char* key) {
  if (!sys_keyring_present()) return SYS_KEYRING_UNAVAILABLE;
  GError* error = nullptr;
  secret_password_clear_sync(schema(), nullptr, &error, "application", kApplication, "account", key, nullptr);
  return outcome(error);
}
