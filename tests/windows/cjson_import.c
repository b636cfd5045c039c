/* Linked into the 32-bit header test: cJSON reached through a driver DLL's
 * import library, under cJSON's own header (dllimport, __stdcall). */
#include <cjson/cJSON.h>

int tarnlink_parses_through_the_driver(const char* text) {
  cJSON* json = cJSON_Parse(text);
  const int ok = json != NULL;
  cJSON_Delete(json);
  return ok;
}
