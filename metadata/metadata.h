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

/**
 * MetaSearchFunc:
 * @filename: (nullable): the row's Filename value, or %NULL when the row
 *   selects none and in the end call
 * @keys: (nullable) (array zero-terminated=1) (element-type utf8): the
 *   column names of the row; %NULL in the end call
 * @values: (nullable) (array zero-terminated=1) (element-type utf8): the
 *   values as text, one for each key; %NULL in the end call
 * @user_data: (closure): the data given with the callback
 * @search_id: -1 for a synchronous search, the search id otherwise
 *
 * Called once per result row, then once with @filename, @keys and @values
 * all %NULL to end the search.  The texts belong to the search and are
 * released when the callback returns.
 */
/* Called once per result row, then once with filename, keys and values all
 * NULL to end the search.  The texts belong to the search. */
typedef void (*MetaSearchFunc) (const gchar *filename, gchar **keys,
                                gchar **values, gpointer user_data,
                                gint search_id);

/**
 * MetaProgressFunc:
 * @files: (array length=count) (element-type filename): the batch, in the
 *   order indexing sorted it into
 * @count: the number of names in @files
 * @user_data: the value given to meta_add_files_with_check()
 *
 * Called after every 25th batch entry that reached extraction.
 */
/* Called after every 25th batch entry that reached extraction. */
typedef void (*MetaProgressFunc) (gchar **files, gint count, gint user_data);

/**
 * MetaExtractFunc: (skip)
 * @filename: the file to extract
 *
 * The entry point of an extractor plug-in, not an application call.
 *
 * Returns: the file's metadata list, or %NULL
 */
/* The entry point every extractor plug-in exports as "get_metadata". */
typedef MetaItem *(*MetaExtractFunc) (const gchar *filename);

/**
 * meta_list_append_int: (skip)
 * @key: the key
 * @value: the value
 * @list: the list to prepend to, or %NULL
 *
 * The list calls build the metadata lists that extractor plug-ins return;
 * a list is a chain of plain nodes that only meta_free_list() releases,
 * which bindings cannot own, so they are left out of the introspection
 * data.
 *
 * Returns: the new head of the list
 */
/**
 * meta_list_append_float: (skip)
 * @key: the key
 * @value: the value
 * @list: the list to prepend to, or %NULL
 *
 * Returns: the new head of the list
 */
/**
 * meta_list_append_text: (skip)
 * @key: the key
 * @value: the value
 * @list: the list to prepend to, or %NULL
 *
 * Returns: the new head of the list
 */
/**
 * meta_free_list: (skip)
 * @list: the list, set to %NULL
 */
/**
 * meta_add_file_attrib: (skip)
 * @path: the file
 * @list: the list to prepend to
 *
 * Returns: the new head of the list
 */
/**
 * meta_replace:
 * @text: (type filename): text to change in place
 * @from: the byte to replace
 * @to: its replacement
 *
 * Overwrites every byte of @text equal to @from with @to.
 *
 * Returns: 1 when @text was scanned, whether or not a byte was replaced;
 *   0 when @text is %NULL or empty
 */
/**
 * meta_strappend: (skip)
 * @str: the variable holding the malloc'd text to append to (it may hold
 *   %NULL); it receives the grown, possibly moved, text
 * @suffix: the text appended
 *
 * The string helpers allocate with malloc, for plug-ins written in C;
 * bindings have strings of their own.
 *
 * Returns: where the appended text starts inside the grown text (not the
 *   text itself: keep using the variable); %NULL when @str is %NULL or the
 *   text cannot be grown, the variable and its text then unchanged.  With
 *   a %NULL @suffix nothing changes and the result is the text, or a
 *   static "" (not to be freed) when the variable holds %NULL
 */
/**
 * meta_strconcat: (skip)
 * @first: a text
 * @second: a text
 *
 * Returns: a new text, freed with free()
 */
/**
 * meta_strdup: (skip)
 * @str: a text
 *
 * Returns: a copy, freed with free()
 */
/**
 * meta_print_metadata: (skip)
 * @list: the list to print
 */
/**
 * meta_print_string_list:
 * @list: (array zero-terminated=1) (nullable): texts to print on stdout
 */
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

/**
 * meta_error_quark:
 *
 * Returns: the error domain of the library's #MetaError codes
 */
/**
 * meta_error_new: (skip)
 * @code: a #MetaError code
 * @format: printf-style format of the message
 * @...: its arguments
 *
 * Returns: (transfer full): a new error of the library's domain
 */
/**
 * meta_set_error: (skip)
 * @error: (nullable): the error location
 * @code: a #MetaError code
 * @format: printf-style format of the message
 * @...: its arguments
 */
/* Error domain */
TESSEL_API GQuark meta_error_quark (void);
TESSEL_API GError *meta_error_new (gint code, const gchar *format, ...)
    G_GNUC_PRINTF (2, 3);
TESSEL_API void meta_set_error (GError **error, gint code,
                                const gchar *format, ...)
    G_GNUC_PRINTF (3, 4);

/**
 * meta_init:
 *
 * Loads the configuration and opens or creates the database; call it once
 * before anything else.
 *
 * Returns: 1 when the database is open, else 0
 */
/**
 * meta_destruct:
 *
 * Releases the configuration and closes the database.
 *
 * Returns: 1 when the database was closed, else 0
 */
/**
 * meta_add_files_with_check:
 * @files: (array zero-terminated=1) (element-type filename): the batch,
 *   sorted in place by extension
 * @count: the number of names before the terminating %NULL
 * @progress: (nullable) (scope call): called after every 25th entry that
 *   reached extraction
 * @user_data: handed to @progress
 *
 * Extracts and stores every file of the batch through the plug-in its
 * extension is configured for.  A file's row takes every key the plug-in
 * extracts (title, artist, length, MIME type, ...) from the new list: one
 * the list lacks is cleared, while keys an application wrote stay.
 * Names that are not readable regular files (missing, a folder, a
 * device), names of %META_VALUE_SIZE bytes or more, and files that cannot
 * be extracted or stored are skipped without a report.  Rows are written
 * in groups of 25, each in one transaction; those of the entries before a
 * @progress call are in the table when it runs.
 *
 * Returns: 0 for an empty batch, else 1
 */
/**
 * meta_add_url:
 * @url: (nullable): the stream URL
 *
 * Returns: 1 when the URL was stored as a stream row, else 0
 */
/**
 * meta_add_url_with_title_and_mime:
 * @url: (nullable): the stream URL
 * @title: (nullable): its title
 * @mime: (nullable): its MIME type
 *
 * Returns: 1 when the URL was stored as a stream row, else 0
 */
/**
 * meta_is_modified_or_new:
 * @filename: (type filename): the file
 * @modified: (out) (type gint8): 1 when the file has no row or changed since it was
 *   indexed
 * @present: (out) (type gint8): the row's presence flag, 0 without a row
 *
 * Returns: 1 when the flags were set, 0 when the file cannot be judged
 *   (missing, empty or not a regular file)
 */
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
/**
 * meta_extract_with_plugin: (skip)
 * @libname: the plug-in
 * @symbol: the function to call
 * @filename: the file
 * @error: the error location
 *
 * Asks the plug-in libname, loaded as the indexer loads it, for the
 * metadata list of filename through its exported function symbol (NULL:
 * "get_metadata"), storing nothing.  The list goes to the caller
 * (meta_free_list).  Left out of the introspection data: a metadata list
 * is a bare C chain, which bindings cannot own.
 *
 * Returns: the list; NULL with error set (META_ERROR_FAILED) when the
 *   plug-in cannot be loaded or lacks symbol; NULL without error for a
 *   NULL libname or filename, or when the plug-in returns no list
 */
TESSEL_API MetaItem *meta_extract_with_plugin (const gchar *libname,
                                               const gchar *symbol,
                                               const gchar *filename,
                                               GError **error);

/**
 * meta_search_async: (skip)
 * @priority: the nice value of the search process
 * @query: the SQL query
 * @callback: called on a thread of the library for every row
 * @user_data: handed to @callback
 *
 * Bindings use meta_search_async_full(), which tells them when @callback
 * is no longer needed.  The search belongs to the calling process: a
 * child made by fork can neither take nor cancel it.
 *
 * Returns: the search id 0, or -1 when no search was started (one runs,
 *   no database file is open, or the search process cannot be started)
 */
/**
 * meta_search_sync:
 * @query: (nullable): the SQL query
 * @callback: (nullable) (scope call) (closure user_data): called for every
 *   row, then once more with %NULL arrays
 * @user_data: handed to @callback
 *
 * Runs @query on the calling thread.
 *
 * Returns: 1 when every row was delivered, 0 (without any call) when the
 *   query failed
 */
/**
 * meta_search_cancel:
 * @search_id: the id meta_search_async() returned
 *
 * Stops a running asynchronous search; from another thread than the
 * search's own it returns once no callback runs any more.
 *
 * Returns: 0 when a search was stopped or none runs, the id unchanged for
 *   an unknown id
 */
/* Searching */
TESSEL_API int meta_search_async (gint priority, const gchar *query,
                                  MetaSearchFunc callback,
                                  gpointer user_data);
TESSEL_API int meta_search_sync (const gchar *query, MetaSearchFunc callback,
                                 gpointer user_data);
TESSEL_API int meta_search_cancel (gint search_id);

/**
 * meta_search_async_full: (rename-to meta_search_async)
 * @priority: the nice value of the search process
 * @query: (nullable): the SQL query
 * @callback: (nullable) (scope notified) (closure user_data) (destroy notify):
 *   called on a thread of the library for every row, then once more with
 *   %NULL arrays unless the search is cancelled
 * @user_data: handed to @callback
 * @notify: (nullable): called with @user_data once @callback will not be
 *   called again: after the end call, after a cancellation, or before -1
 *   is returned; not when a callback ends the library's thread itself
 *   (pthread_exit), since that callback's code is what ends it
 *
 * meta_search_async() with a release of the user data.  Language bindings
 * need it: their callback must stay alive for every row and then be
 * released, and meta_search_async() gives no moment for that.
 *
 * Returns: the search id 0, or -1 when no search was started
 */
TESSEL_API int meta_search_async_full (gint priority, const gchar *query,
                                       MetaSearchFunc callback,
                                       gpointer user_data,
                                       GDestroyNotify notify);

/**
 * meta_search_end_status:
 * @error: the place for SQLite's reason when the query failed
 *
 * From inside the end call of a search: whether its query completed.
 * Only an asynchronous search ends with a failure (a synchronous one
 * makes no call then); anywhere else the result is 1.
 *
 * Returns: 1 when the query completed, 0 when it failed, with error
 *   (META_ERROR_FAILED) set to SQLite's reason
 */
TESSEL_API int meta_search_end_status (GError **error);

/**
 * MetaColumnsFunc:
 * @columns: the number of result columns
 * @names: (array length=columns): the column names, in the query's order
 * @types: (array length=columns) (nullable): the value types of the row,
 *   %NULL in the header call
 * @values: (array length=columns) (nullable): the values of the row as
 *   text, %NULL in the header call
 * @user_data: (closure): what meta_search_columns() was given
 *
 * One call of meta_search_columns: every result column of the query, in
 * its order, duplicates included.  The first call is the header, with
 * types and values NULL; then one call per row, where types[i] is
 * META_TYPE_INTEGER, META_TYPE_FLOAT, META_TYPE_TEXT, or META_TYPE_NONE
 * for a NULL or a blob (whose value is then NULL), and values[i] is the
 * value as SQLite writes it as text.  The texts belong to the search.
 */
typedef void (*MetaColumnsFunc) (gint columns, const gchar *const *names,
                                 const gint *types,
                                 const gchar *const *values,
                                 gpointer user_data);

/**
 * meta_search_columns:
 * @query: (nullable): the SQL query
 * @callback: (scope call) (closure user_data) (nullable): called for the
 *   header and then for every row
 * @user_data: handed to @callback
 * @error: the place for SQLite's reason when the query fails
 *
 * Runs query on the calling thread like meta_search_sync, reading every
 * row before the first call (so calls may use the library).
 *
 * Returns: 1 after the header and the rows; 0 without any call when the
 *   query fails, with error (META_ERROR_FAILED) set to SQLite's reason
 */
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

/**
 * meta_get_key_type:
 * @filename: the row's file name
 * @key: the column
 *
 * Returns: the #MetaType of the value the key holds, %META_TYPE_NONE for
 *   none
 */
/**
 * meta_read_integer:
 * @filename: the row's file name
 * @key: the column
 * @value: (out): the value
 *
 * Returns: 1 when the key holds an integer, else 0
 */
/**
 * meta_read_double:
 * @filename: the row's file name
 * @key: the column
 * @value: (out): the value
 *
 * Returns: 1 when the key holds a number, else 0
 */
/**
 * meta_read_string:
 * @filename: the row's file name
 * @key: the column
 * @value: (out) (transfer full) (nullable): a copy of the text, %NULL when
 *   the value is not text
 *
 * Returns: 1 when the row and the column exist, else 0
 */
/**
 * meta_read_array: (skip)
 * @filename: the row's file name
 * @key: the column
 * @index: the element index; receives the count when @value is %NULL
 * @value: a 256-byte area for the element, or %NULL
 * @type: receives the element type
 *
 * The untyped value area has no introspection type.
 *
 * Returns: 1 when the key holds an array, else 0
 */
/**
 * meta_write_integer:
 * @filename: the row's file name
 * @key: the column, added when missing
 * @value: the value
 *
 * Returns: 1 when written, 0 otherwise (also for a file without a row)
 */
/**
 * meta_write_double:
 * @filename: the row's file name
 * @key: the column, added when missing
 * @value: the value
 *
 * Returns: 1 when written, else 0
 */
/**
 * meta_write_string:
 * @filename: the row's file name
 * @key: the column, added when missing
 * @value: (nullable): the text; %NULL writes the empty text
 *
 * Returns: 1 when written, else 0
 */
/**
 * meta_write_array: (skip)
 * @filename: the row's file name
 * @key: the column
 * @index: where to insert, -1 to append
 * @value: the element
 *
 * #MetaValue is passed by value, which bindings cannot do.
 *
 * Returns: 1 when written, else 0
 */
/**
 * meta_delete_by_key: (skip)
 * @key: the column
 * @value: the value whose rows go
 *
 * #MetaValue is passed by value, which bindings cannot do.
 *
 * Returns: 1 when the statement ran, else 0
 */
/**
 * meta_get_file_list:
 * @list: (inout) (array zero-terminated=1) (transfer full) (nullable):
 *   points to %NULL on entry (pass None from Python, null from
 *   JavaScript); receives the stored file names
 *
 * Returns: 1 with the array filled, else 0
 */
/**
 * meta_file_absent:
 * @filename: the row's file name
 *
 * Returns: 1 when the row exists and was marked absent, else 0
 */
/**
 * meta_path_absent:
 * @path: a prefix of file names, matched as SQL LIKE does
 *
 * Returns: 1 when the statement ran, else 0
 */
/**
 * meta_set_present:
 * @filename: (nullable): the row's file name
 *
 * Returns: 1 when the row exists and was marked present, else 0
 */
/**
 * meta_has_recognized_extension:
 * @filename: (nullable): a file name
 *
 * Returns: 1 when the configuration names a plug-in for the extension
 */
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
