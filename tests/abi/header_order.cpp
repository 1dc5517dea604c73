// The public header after what a host may have included before it, compiled
// with warnings as errors once per HEADER_ORDER_PRELUDE:
//   0 nothing; 1 <windows.h>; 2 <winsock2.h> then <windows.h>;
//   3 <windows.h> with WIN32_LEAN_AND_MEAN.
#if HEADER_ORDER_PRELUDE == 1
#include <windows.h>
#elif HEADER_ORDER_PRELUDE == 2
#include <winsock2.h>
#include <windows.h>
#elif HEADER_ORDER_PRELUDE == 3
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include "client/Brevanto.h"

// Uses the types the header must provide by itself.
int header_order_uses_types(CBrevanto& client, WIN32_FILE_ATTRIBUTE_DATA& data) {
  int backup_type = 0;
  int reversion = 0;
  return client.getfileinfo(L"\\", data, backup_type, reversion);
}
