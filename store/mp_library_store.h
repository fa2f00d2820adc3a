/* MpLibraryStore: the common type of the library stores through which a
 * media player reads its library.  It holds no state and declares no
 * operations; each store offers plain functions of its own subclass. */
#ifndef TESSEL_MP_LIBRARY_STORE_H
#define TESSEL_MP_LIBRARY_STORE_H

#include <glib-object.h>

#include "tessel_export.h"

G_BEGIN_DECLS

#define MP_TYPE_LIBRARY_STORE (mp_library_store_get_type ())
#define MP_LIBRARY_STORE(obj)                                                 \
  (G_TYPE_CHECK_INSTANCE_CAST ((obj), MP_TYPE_LIBRARY_STORE, MpLibraryStore))
#define MP_LIBRARY_STORE_CLASS(klass)                                         \
  (G_TYPE_CHECK_CLASS_CAST ((klass), MP_TYPE_LIBRARY_STORE,                   \
                            MpLibraryStoreClass))
#define IS_MP_LIBRARY_STORE(obj)                                              \
  (G_TYPE_CHECK_INSTANCE_TYPE ((obj), MP_TYPE_LIBRARY_STORE))
#define IS_MP_LIBRARY_STORE_CLASS(klass)                                      \
  (G_TYPE_CHECK_CLASS_TYPE ((klass), MP_TYPE_LIBRARY_STORE))
#define MP_LIBRARY_STORE_GET_CLASS(obj)                                       \
  (G_TYPE_INSTANCE_GET_CLASS ((obj), MP_TYPE_LIBRARY_STORE,                   \
                              MpLibraryStoreClass))

typedef struct _MpLibraryStore MpLibraryStore;
typedef struct _MpLibraryStoreClass MpLibraryStoreClass;

struct _MpLibraryStore
{
  GObject parent;
};

struct _MpLibraryStoreClass
{
  GObjectClass parent_class;
};

/* The type of MpLibraryStore, registered on the first call.  A subclass
 * registers with it as parent and, when it installs its own finalize,
 * chains to the finalize of its parent class last. */
TESSEL_API GType mp_library_store_get_type (void);

G_END_DECLS

#endif /* TESSEL_MP_LIBRARY_STORE_H */
