#pragma once
// The archiver's error tables: which message each native error number selects, and the messages.
#include <cstdint>

namespace zip {

inline constexpr int kNativeErrorCount = 63;  // native numbers 0..62
inline constexpr int kMessageSlots = 41;      // 0..37 used, the last three empty

// The message index of a native number; 0 ("Unknown error") for a number outside the table.
int ErrorCodeFor(int nativeError);
// The message text of an index (a printf format for the texts with %s or %d); "" outside 0..40.
const char* ErrorMessage(int errorCode);

}  // namespace zip
