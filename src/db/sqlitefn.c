/* sqlitefn: a SQLite loadable extension giving the ODBC scalar functions that
 * the program's SQL uses through escapes ({fn now()}, {fn curdate()},
 * {fn curtime()}) and that SQLite lacks. The SQLite ODBC driver passes the
 * escapes through as now(), curdate() and curtime(); this extension answers
 * them in local time, as text in the layout SQLite's own date functions use:
 * 'YYYY-MM-DD HH:MM:SS', 'YYYY-MM-DD' and 'HH:MM:SS'.
 * Loaded with LoadExt=<path to sqlitefn.so> in the connection options. */
#include <sqlite3ext.h>
#include <stdio.h>
#include <time.h>

SQLITE_EXTENSION_INIT1

static void LocalText(sqlite3_context* ctx, const char* layout) {
  time_t now = time(NULL);
  struct tm local;
  char text[32];
  if (localtime_r(&now, &local) == NULL || strftime(text, sizeof text, layout, &local) == 0) {
    sqlite3_result_null(ctx);
    return;
  }
  sqlite3_result_text(ctx, text, -1, SQLITE_TRANSIENT);
}

static void Now(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  (void)argc;
  (void)argv;
  LocalText(ctx, "%Y-%m-%d %H:%M:%S");
}

static void CurDate(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  (void)argc;
  (void)argv;
  LocalText(ctx, "%Y-%m-%d");
}

static void CurTime(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  (void)argc;
  (void)argv;
  LocalText(ctx, "%H:%M:%S");
}

#ifdef __GNUC__
__attribute__((visibility("default")))
#endif
int sqlite3_sqlitefn_init(sqlite3* db, char** errMsg, const sqlite3_api_routines* api) {
  (void)errMsg;
  SQLITE_EXTENSION_INIT2(api);
  static const struct {
    const char* name;
    void (*fn)(sqlite3_context*, int, sqlite3_value**);
  } functions[] = {{"now", Now}, {"curdate", CurDate}, {"curtime", CurTime}};
  for (size_t i = 0; i < sizeof functions / sizeof functions[0]; ++i) {
    int rc = sqlite3_create_function(db, functions[i].name, 0, SQLITE_UTF8, NULL, functions[i].fn,
                                     NULL, NULL);
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

/* The entry point SQLite tries first when none is named. */
#ifdef __GNUC__
__attribute__((visibility("default")))
#endif
int sqlite3_extension_init(sqlite3* db, char** errMsg, const sqlite3_api_routines* api) {
  return sqlite3_sqlitefn_init(db, errMsg, api);
}
