/* Tessel front end: metadata lists, the error domain, initialisation,
 * indexing, searching and key access. */
#ifndef TESSEL_METADATA_H
#define TESSEL_METADATA_H

#include <glib.h>
#include <pthread.h>

#include "tessel_export.h"

G_BEGIN_DECLS

/* Value type codes; 1 to 3 equal SQLite's storage-class codes. */
typedef enum
{
  META_TYPE_NONE = 0,
  META_TYPE_INTEGER = 1,
  META_TYPE_FLOAT = 2,
  META_TYPE_TEXT = 3,
  META_TYPE_ARRAY = 4
} MetaType;

#define META_VALUE_SIZE 256

/* One node of a metadata list.  value holds a 32-bit integer or float at
 * its start, or NUL-terminated text of at most 255 bytes, as type says. */
typedef struct _MetaItem MetaItem;
struct _MetaItem
{
  gchar value[META_VALUE_SIZE];
  gchar *key;
  MetaType type;
  MetaItem *next;
};

/* One typed value passed by value, without a key. */
typedef struct
{
  gchar value[META_VALUE_SIZE];
  MetaType type;
} MetaValue;

/* Error codes of the domain meta_error_quark (); the values never change. */
typedef enum
{
  META_ERROR_SUCCESS = 0,
  META_ERROR_FAILED = 1,
  META_ERROR_CONNECTING = 2,
  META_ERROR_NO_CONNECTION = 3,
  META_ERROR_PATH_UNKNOWN = 4,
  META_ERROR_NO_UPDATED_DATA = 5,
  META_ERROR_HTTP_ENV_NOT_SET = 7
} MetaError;

#define META_ERROR (meta_error_quark ())

/* Called once per result row, then once with filename, keys and values all
 * NULL to end the search.  The texts belong to the search. */
typedef void (*MetaSearchFunc) (const gchar *filename, gchar **keys,
                                gchar **values, gpointer user_data,
                                gint search_id);

/* Called after every 25th batch entry that reached extraction. */
typedef void (*MetaProgressFunc) (gchar **files, gint count, gint user_data);

/* The entry point every extractor plug-in exports as "get_metadata". */
typedef MetaItem *(*MetaExtractFunc) (const gchar *filename);

/* Metadata lists */
TESSEL_API MetaItem *meta_list_append_int (const gchar *key, gint32 value,
                                           MetaItem *list);
TESSEL_API MetaItem *meta_list_append_float (const gchar *key, gfloat value,
                                             MetaItem *list);
TESSEL_API MetaItem *meta_list_append_text (const gchar *key,
                                            const gchar *value,
                                            MetaItem *list);
TESSEL_API void meta_free_list (MetaItem **list);
TESSEL_API MetaItem *meta_add_file_attrib (const gchar *path, MetaItem *list);
TESSEL_API int meta_replace (gchar *text, gchar from, gchar to);
TESSEL_API gchar *meta_strappend (gchar **str, const gchar *suffix);
TESSEL_API gchar *meta_strconcat (const gchar *first, const gchar *second);
TESSEL_API gchar *meta_strdup (const gchar *str);
TESSEL_API void meta_print_metadata (MetaItem *list);
TESSEL_API void meta_print_string_list (gchar **list);

/* Error domain */
TESSEL_API GQuark meta_error_quark (void);
TESSEL_API GError *meta_error_new (gint code, const gchar *format, ...)
    G_GNUC_PRINTF (2, 3);
TESSEL_API void meta_set_error (GError **error, gint code,
                                const gchar *format, ...)
    G_GNUC_PRINTF (3, 4);

/* Initialisation and indexing */
TESSEL_API int meta_init (void);
TESSEL_API int meta_destruct (void);
TESSEL_API int meta_add_files_with_check (gchar **files, gint count,
                                          MetaProgressFunc progress,
                                          gint user_data);
TESSEL_API int meta_add_url (const gchar *url);
TESSEL_API int meta_add_url_with_title_and_mime (const gchar *url,
                                                 const gchar *title,
                                                 const gchar *mime);
TESSEL_API int meta_is_modified_or_new (const gchar *filename,
                                        gchar *modified, gchar *present);

/* Searching */
TESSEL_API int meta_search_async (gint priority, const gchar *query,
                                  MetaSearchFunc callback,
                                  gpointer user_data);
TESSEL_API int meta_search_sync (const gchar *query, MetaSearchFunc callback,
                                 gpointer user_data);
TESSEL_API int meta_search_cancel (gint search_id);

/* From inside the end call of a search: 1 when its query completed, 0
 * when it failed, with error (META_ERROR_FAILED) set to SQLite's reason.
 * Only an asynchronous search ends with a failure (a synchronous one
 * makes no call then); anywhere else the result is 1. */
TESSEL_API int meta_search_end_status (GError **error);

/* One call of meta_search_columns: every result column of the query, in
 * its order, duplicates included.  The first call is the header, with
 * types and values NULL; then one call per row, where types[i] is
 * META_TYPE_INTEGER, META_TYPE_FLOAT, META_TYPE_TEXT, or META_TYPE_NONE
 * for a NULL or a blob (whose value is then NULL), and values[i] is the
 * value as SQLite writes it as text.  The texts belong to the search. */
typedef void (*MetaColumnsFunc) (gint columns, const gchar *const *names,
                                 const gint *types,
                                 const gchar *const *values,
                                 gpointer user_data);

/* Runs query on the calling thread like meta_search_sync, reading every
 * row before the first call (so calls may use the library), and returns
 * 1 after the header and the rows; 0 without any call when the query
 * fails, with error (META_ERROR_FAILED) set to SQLite's reason. */
TESSEL_API int meta_search_columns (const gchar *query,
                                    MetaColumnsFunc callback,
                                    gpointer user_data, GError **error);

/* The asynchronous search slot: one, so at most one asynchronous search
 * runs at a time and its id is 0.  state is -1 when free and -2 while a
 * search is reserved or running; it reads 0 (taken) until meta_init.
 * search_lock guards the reservation of the slot. */
typedef struct
{
  pthread_t thread; /* the reader thread making the callbacks */
  gint32 pid;       /* the child process running the query */
  gint32 state;
} MetaSearchSlot;

#define META_SEARCH_SLOTS 1

TESSEL_API extern pthread_mutex_t search_lock;
TESSEL_API extern MetaSearchSlot search_ids[META_SEARCH_SLOTS];

/* Key access and housekeeping */
TESSEL_API int meta_get_key_type (const gchar *filename, const gchar *key);
TESSEL_API int meta_read_integer (const gchar *filename, const gchar *key,
                                  gint32 *value);
TESSEL_API int meta_read_double (const gchar *filename, const gchar *key,
                                 gdouble *value);
TESSEL_API int meta_read_string (const gchar *filename, const gchar *key,
                                 gchar **value);
TESSEL_API int meta_read_array (const gchar *filename, const gchar *key,
                                gint *index, void *value, MetaType *type);
TESSEL_API int meta_write_integer (const gchar *filename, const gchar *key,
                                   gint32 value);
TESSEL_API int meta_write_double (const gchar *filename, const gchar *key,
                                  gdouble value);
TESSEL_API int meta_write_string (const gchar *filename, const gchar *key,
                                  const gchar *value);
TESSEL_API int meta_write_array (const gchar *filename, const gchar *key,
                                 gint index, MetaValue value);
TESSEL_API int meta_delete_by_key (const gchar *key, MetaValue value);
TESSEL_API int meta_get_file_list (gchar ***list);
TESSEL_API int meta_file_absent (const gchar *filename);
TESSEL_API int meta_path_absent (const gchar *path);
TESSEL_API int meta_set_present (const gchar *filename);
TESSEL_API int meta_has_recognized_extension (const gchar *filename);

G_END_DECLS

#endif /* TESSEL_METADATA_H */
