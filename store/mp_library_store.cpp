/* The common base type of the library stores. */
#include "mp_library_store.h"
#include "tessel-private.h"

static GObjectClass *parent_class;

/* Only the type system calls these three, with objects of this type, so a
 * failed check means a broken type tree and is fatal. */
static void
_mp_library_store_finalize (GObject *object)
{
  g_assert (IS_MP_LIBRARY_STORE (object));
  parent_class->finalize (object);
}

static void
_mp_library_store_class_init (gpointer g_class, gpointer class_data)
{
  (void) class_data;
  MpLibraryStoreClass *klass = static_cast<MpLibraryStoreClass *> (g_class);
  g_assert (IS_MP_LIBRARY_STORE_CLASS (klass));
  parent_class = static_cast<GObjectClass *> (g_type_class_peek_parent (klass));
  G_OBJECT_CLASS (klass)->finalize = _mp_library_store_finalize;
}

static void
_mp_library_store_init (GTypeInstance *instance, gpointer g_class)
{
  (void) g_class;
  MpLibraryStore *mp_library_store = reinterpret_cast<MpLibraryStore *> (
      instance);
  g_assert (IS_MP_LIBRARY_STORE (mp_library_store));
}

extern "C" GType
mp_library_store_get_type (void)
{
  static GType type = 0;
  if (type == 0)
    {
      /* The preallocation hint has been ignored by GLib since 2.10; it is
       * kept to match the stores that derive from this type. */
      static const GTypeInfo info = {
        sizeof (MpLibraryStoreClass),
        NULL, /* base_init */
        NULL, /* base_finalize */
        _mp_library_store_class_init,
        NULL, /* class_finalize */
        NULL, /* class_data */
        sizeof (MpLibraryStore),
        16, /* n_preallocs */
        _mp_library_store_init,
        NULL, /* value_table */
      };
      type = g_type_register_static (G_TYPE_OBJECT, "MpLibraryStore", &info,
                                     static_cast<GTypeFlags> (0));
    }
  return type;
}
