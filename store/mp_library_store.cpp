/* The common base type of the library stores. */
#include "mp_library_store.h"
#include "tessel-private.h"

/* GLib's macro registers the type once, whichever threads ask first. */
G_DEFINE_TYPE (MpLibraryStore, mp_library_store, G_TYPE_OBJECT)

/* Only the type system calls these three, with objects of this type, so a
 * failed check means a broken type tree and is fatal. */
static void
_mp_library_store_finalize (GObject *object)
{
  g_assert (IS_MP_LIBRARY_STORE (object));
  G_OBJECT_CLASS (mp_library_store_parent_class)->finalize (object);
}

static void
mp_library_store_class_init (MpLibraryStoreClass *klass)
{
  g_assert (IS_MP_LIBRARY_STORE_CLASS (klass));
  G_OBJECT_CLASS (klass)->finalize = _mp_library_store_finalize;
}

static void
mp_library_store_init (MpLibraryStore *mp_library_store)
{
  g_assert (IS_MP_LIBRARY_STORE (mp_library_store));
}
