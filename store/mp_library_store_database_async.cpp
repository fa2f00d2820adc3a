/* The database store's asynchronous calls: the routines of the
 * synchronous calls, run by a GTask on a thread of GLib's pool with a
 * reader connection of the call's own. */
#include "mp_library_store_database.h"
#include "mp_library_store_database-private.h"
#include "metadata_storage-private.h"
#include "metadata_storage_reader-private.h"
#include "tessel-private.h"

namespace
{

/* What a call does on its worker, given its connection and its (up to
 * two) text arguments. */
using Work = GList *(*) (sqlite3 *db, const gchar *first,
                         const gchar *second, GError **error);

/* One kind of asynchronous call; its address tags the call's tasks, so
 * that a _finish refuses the result of another kind. */
struct Kind
{
  const char *name;
  Work work;
};

const Kind songs_kind = {
  "mp_library_store_database_get_songs_async",
  [] (sqlite3 *db, const gchar *, const gchar *, GError **error) {
    return _mp_library_store_database_distinct_on (db, songs_sql, error);
  },
};

const Kind album_list_kind = {
  "mp_library_store_database_get_album_list_async",
  [] (sqlite3 *db, const gchar *, const gchar *, GError **error) {
    return _mp_library_store_database_album_list_on (db, error);
  },
};

const Kind album_songs_kind = {
  "mp_library_store_database_get_album_songs_async",
  [] (sqlite3 *db, const gchar *album_artist, const gchar *album,
      GError **error) {
    return _mp_library_store_database_album_songs_on (db, album_artist,
                                                      album, error);
  },
};

const Kind artist_list_kind = {
  "mp_library_store_database_get_artist_list_async",
  [] (sqlite3 *db, const gchar *, const gchar *, GError **error) {
    return _mp_library_store_database_artist_list_on (db, error);
  },
};

const Kind find_kind = {
  "mp_library_store_database_find_async",
  [] (sqlite3 *db, const gchar *text, const gchar *, GError **error) {
    return _mp_library_store_database_find_on (db, text, error);
  },
};

const Kind playlist_songs_kind = {
  "mp_library_store_database_get_playlist_songs_async",
  [] (sqlite3 *db, const gchar *playlist, const gchar *, GError **error) {
    return _mp_library_store_database_playlist_songs_on (db, playlist,
                                                         error);
  },
};

/* A call's task data. */
struct Call
{
  const Kind *kind;
  gchar *file; /* the database file; NULL for one without a file */
  gchar *first, *second;
};

void
call_free (gpointer data) noexcept
{
  Call *call = static_cast<Call *> (data);
  g_free (call->file);
  g_free (call->first);
  g_free (call->second);
  g_free (call);
}

void
resources_free (gpointer list) noexcept
{
  g_list_free_full (static_cast<GList *> (list), g_object_unref);
}

/* SQLite asks after every this many steps of its machine whether the
 * statement should stop: about a tenth of a millisecond between looks. */
#define CANCEL_CHECK_STEPS 1000

int
cancelled (void *cancellable) noexcept
{
  return g_cancellable_is_cancelled (static_cast<GCancellable *> (cancellable));
}

/* The work on a reader of the call's own: the library's connection is
 * neither held nor touched, so meta_destruct closing it cannot reach the
 * work under way. */
GList *
work_on_reader (const Call *call, GCancellable *cancellable, GError **error)
{
  sqlite3 *db = storage_reader_open (call->file);
  if (db == NULL)
    {
      _mp_library_store_database_set_error (error);
      return NULL;
    }
  if (cancellable != NULL)
    sqlite3_progress_handler (db, CANCEL_CHECK_STEPS, cancelled, cancellable);
  GList *result = call->kind->work (db, call->first, call->second, error);
  storage_reader_close (db);
  return result;
}

/* The work on the library's connection, for a database no second
 * connection can open; the handler is there only while the lock is held,
 * so no other call's statements see it. */
GList *
work_on_library (const Call *call, GCancellable *cancellable, GError **error)
{
  StorageLock lock;
  sqlite3 *db = storage_db;
  if (db != NULL && cancellable != NULL)
    sqlite3_progress_handler (db, CANCEL_CHECK_STEPS, cancelled, cancellable);
  GList *result = call->kind->work (NULL, call->first, call->second, error);
  if (db != NULL)
    sqlite3_progress_handler (db, 0, NULL, NULL);
  return result;
}

void
run_call (GTask *task, gpointer source, gpointer data,
          GCancellable *cancellable) noexcept
{
  (void) source;
  if (g_task_return_error_if_cancelled (task))
    return;
  const Call *call = static_cast<const Call *> (data);
  GError *error = NULL;
  GList *result = NULL;
  try
    {
      result = call->file != NULL
                   ? work_on_reader (call, cancellable, &error)
                   : work_on_library (call, cancellable, &error);
    }
  catch (...)
    {
      /* Out of memory while grouping: the call failed as a query does. */
      _mp_library_store_database_set_error (&error);
    }
  /* A query stopped by the cancellation fails like any other; what the
   * caller asked for was the cancellation. */
  if (g_task_return_error_if_cancelled (task))
    {
      resources_free (result);
      g_clear_error (&error);
      return;
    }
  if (error != NULL)
    g_task_return_error (task, error);
  else
    g_task_return_pointer (task, result, resources_free);
}

/* Starts a call of kind with copies of its texts; a NULL kind finishes at
 * once with no result. */
void
start (MpLibraryStoreDatabase *store, const Kind *tag, const Kind *kind,
       const gchar *first, const gchar *second, GCancellable *cancellable,
       GAsyncReadyCallback callback, gpointer user_data)
{
  g_autoptr (GTask) task = g_task_new (store, cancellable, callback, user_data);
  g_task_set_source_tag (task, const_cast<Kind *> (tag));
  g_task_set_name (task, tag->name);
  /* Checking first also keeps a call cancelled from the start off the
   * pool, which may be busy with others. */
  if (g_task_return_error_if_cancelled (task))
    return;
  if (kind == NULL)
    {
      g_task_return_pointer (task, NULL, NULL);
      return;
    }
  Call *call = g_new0 (Call, 1);
  call->kind = kind;
  call->first = g_strdup (first);
  call->second = g_strdup (second);
  g_task_set_task_data (task, call, call_free);
  {
    StorageLock lock;
    if (storage_db == NULL)
      {
        GError *error = NULL;
        _mp_library_store_database_set_error (&error);
        g_task_return_error (task, error);
        return;
      }
    call->file = storage_database_file ();
  }
  g_task_run_in_thread (task, run_call);
}

GList *
finish (GAsyncResult *result, GError **error)
{
  return static_cast<GList *> (
      g_task_propagate_pointer (G_TASK (result), error));
}

} // namespace

#define CHECK_STORE()                                                         \
  g_return_if_fail (IS_MP_LIBRARY_STORE_DATABASE (mp_library_store))

/* The critical names the _finish call; a result of another store or of
 * another kind of call gets NULL. */
#define CHECK_RESULT(kind)                                                    \
  g_return_val_if_fail (IS_MP_LIBRARY_STORE_DATABASE (mp_library_store),      \
                        NULL);                                                \
  g_return_val_if_fail (g_task_is_valid (result, mp_library_store), NULL);    \
  g_return_val_if_fail (g_async_result_is_tagged (                            \
                            result, const_cast<Kind *> (&(kind))),            \
                        NULL)

extern "C" void
mp_library_store_database_get_songs_async (
    MpLibraryStoreDatabase *mp_library_store, GCancellable *cancellable,
    GAsyncReadyCallback callback, gpointer user_data)
{
  CHECK_STORE ();
  start (mp_library_store, &songs_kind, &songs_kind, NULL, NULL, cancellable,
         callback, user_data);
}

extern "C" GList *
mp_library_store_database_get_songs_finish (
    MpLibraryStoreDatabase *mp_library_store, GAsyncResult *result,
    GError **error)
{
  CHECK_RESULT (songs_kind);
  return finish (result, error);
}

extern "C" void
mp_library_store_database_get_album_list_async (
    MpLibraryStoreDatabase *mp_library_store, GCancellable *cancellable,
    GAsyncReadyCallback callback, gpointer user_data)
{
  CHECK_STORE ();
  start (mp_library_store, &album_list_kind, &album_list_kind, NULL, NULL,
         cancellable, callback, user_data);
}

extern "C" GList *
mp_library_store_database_get_album_list_finish (
    MpLibraryStoreDatabase *mp_library_store, GAsyncResult *result,
    GError **error)
{
  CHECK_RESULT (album_list_kind);
  return finish (result, error);
}

extern "C" void
mp_library_store_database_get_album_songs_async (
    MpLibraryStoreDatabase *mp_library_store, const gchar *album_artist,
    const gchar *album, GCancellable *cancellable,
    GAsyncReadyCallback callback, gpointer user_data)
{
  CHECK_STORE ();
  const Kind *kind = &album_songs_kind;
  if (album == NULL)
    {
      /* The synchronous call's critical and its NULL; the callback still
       * comes, so that no caller waits for it in vain. */
      g_return_if_fail_warning (G_LOG_DOMAIN, G_STRFUNC, "album != NULL");
      kind = NULL;
    }
  start (mp_library_store, &album_songs_kind, kind, album_artist, album,
         cancellable, callback, user_data);
}

extern "C" GList *
mp_library_store_database_get_album_songs_finish (
    MpLibraryStoreDatabase *mp_library_store, GAsyncResult *result,
    GError **error)
{
  CHECK_RESULT (album_songs_kind);
  return finish (result, error);
}

extern "C" void
mp_library_store_database_get_artist_list_async (
    MpLibraryStoreDatabase *mp_library_store, GCancellable *cancellable,
    GAsyncReadyCallback callback, gpointer user_data)
{
  CHECK_STORE ();
  start (mp_library_store, &artist_list_kind, &artist_list_kind, NULL, NULL,
         cancellable, callback, user_data);
}

extern "C" GList *
mp_library_store_database_get_artist_list_finish (
    MpLibraryStoreDatabase *mp_library_store, GAsyncResult *result,
    GError **error)
{
  CHECK_RESULT (artist_list_kind);
  return finish (result, error);
}

extern "C" void
mp_library_store_database_find_async (MpLibraryStoreDatabase *mp_library_store,
                                      const gchar *text,
                                      GCancellable *cancellable,
                                      GAsyncReadyCallback callback,
                                      gpointer user_data)
{
  CHECK_STORE ();
  start (mp_library_store, &find_kind, &find_kind, text, NULL, cancellable,
         callback, user_data);
}

extern "C" GList *
mp_library_store_database_find_finish (MpLibraryStoreDatabase *mp_library_store,
                                       GAsyncResult *result, GError **error)
{
  CHECK_RESULT (find_kind);
  return finish (result, error);
}

extern "C" void
mp_library_store_database_get_playlist_songs_async (
    MpLibraryStoreDatabase *mp_library_store, const gchar *playlist,
    GCancellable *cancellable, GAsyncReadyCallback callback,
    gpointer user_data)
{
  CHECK_STORE ();
  /* The synchronous call's NULL for no playlist, through the callback. */
  start (mp_library_store, &playlist_songs_kind,
         playlist != NULL ? &playlist_songs_kind : NULL, playlist, NULL,
         cancellable, callback, user_data);
}

extern "C" GList *
mp_library_store_database_get_playlist_songs_finish (
    MpLibraryStoreDatabase *mp_library_store, GAsyncResult *result,
    GError **error)
{
  CHECK_RESULT (playlist_songs_kind);
  return finish (result, error);
}
