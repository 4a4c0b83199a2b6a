// The store location (store/store.h) as any text, as KG_STORE, the build's
// setting or a kgadmin argument give it.
//
// Checked, besides running without a crash or a sanitizer report:
// - parse() either refuses a text with StoreError or gives a location;
// - a location's setting() (what kgadmin hands to another process) parses
//   to the same location;
// - its description never shows the password.

#include "fuzz_common.h"
#include "store/store.h"

namespace {

bool same(const StoreLocation &a, const StoreLocation &b) {
  return a.backend == b.backend && a.file == b.file && a.host == b.host && a.port == b.port &&
         a.alternates == b.alternates && a.targetSessionAttrs == b.targetSessionAttrs && a.database == b.database &&
         a.user == b.user && a.password == b.password && a.odbcConnection == b.odbcConnection;
}

} // namespace

FUZZ_INITIALIZE_CORE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
  StoreLocation location;
  try {
    location = StoreLocation::parse(text);
  } catch (const StoreError &) {
    return 0;
  }
  const QString setting = location.setting();
  StoreLocation again;
  try {
    again = StoreLocation::parse(setting);
  } catch (const StoreError &) {
    FUZZ_CHECK(false, "the setting of a location parses");
  }
  if (location.backend != StoreLocation::Backend::Odbc || !location.odbcConnection.isEmpty())
    FUZZ_CHECK(same(location, again), "the setting of a location parses to the same location");
  // The password shows nowhere: the description says nothing that it does
  // not say of the same location with another password.
  const QString password = location.password;
  if (!password.isEmpty()) {
    StoreLocation other = location;
    other.password = QStringLiteral("\x01");
    const bool elsewhere = location.backend == StoreLocation::Backend::Odbc
                               ? location.odbcConnection.count(password) > 1 || password.size() < 4
                               : other.describe().contains(password);
    if (!elsewhere)
      FUZZ_CHECK(!location.describe().contains(password), "the description never shows the password");
  }
  return 0;
}
