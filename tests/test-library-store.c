/* The common store type: registration, the type test and the finalizer
 * chain a store subclass relies on. */
#include "mp_library_store.h"
#include "tessel-test.h"

/* A store subclass of the test's own, recording the order in which its
 * clean-up and GObject's own finalization run. */
typedef struct
{
  MpLibraryStore parent;
} TestStore;
typedef struct
{
  MpLibraryStoreClass parent_class;
} TestStoreClass;

static GType test_store_get_type (void);
G_DEFINE_TYPE (TestStore, test_store, MP_TYPE_LIBRARY_STORE)

static GString *finalize_log; /* set only by the finalize test */

static void
log_step (const char *step)
{
  if (finalize_log != NULL)
    g_string_append (finalize_log, step);
}

static void
test_store_finalize (GObject *object)
{
  log_step ("subclass;");
  G_OBJECT_CLASS (test_store_parent_class)->finalize (object);
  log_step ("returned;");
}

static void
test_store_class_init (TestStoreClass *klass)
{
  G_OBJECT_CLASS (klass)->finalize = test_store_finalize;
}

static void
test_store_init (TestStore *self)
{
  (void) self;
}

/* Object data is released by GObject's own finalize, the end of the chain. */
static void
note_gobject_finalized (gpointer data)
{
  (void) data;
  log_step ("gobject;");
}

static void
test_type_registration (void)
{
  GType type = mp_library_store_get_type ();
  g_assert_cmpuint (type, !=, 0);
  g_assert_cmpuint (mp_library_store_get_type (), ==, type);
  g_assert_cmpuint (g_type_parent (type), ==, G_TYPE_OBJECT);
  g_assert_cmpstr (g_type_name (type), ==, "MpLibraryStore");
  g_assert_false (G_TYPE_IS_ABSTRACT (type));
  g_assert_true (G_TYPE_IS_INSTANTIATABLE (type));

  /* No properties and no signals. */
  GObjectClass *klass = g_type_class_ref (type);
  guint n_props = 0;
  GParamSpec **props = g_object_class_list_properties (klass, &n_props);
  g_assert_cmpuint (n_props, ==, 0);
  g_free (props);
  guint n_signals = 0;
  guint *ids = g_signal_list_ids (type, &n_signals);
  g_assert_cmpuint (n_signals, ==, 0);
  g_free (ids);
  g_type_class_unref (klass);
}

static void
test_type_check (void)
{
  GObject *store = g_object_new (MP_TYPE_LIBRARY_STORE, NULL);
  g_assert_true (IS_MP_LIBRARY_STORE (store));
  g_assert_true (IS_MP_LIBRARY_STORE_CLASS (G_OBJECT_GET_CLASS (store)));

  GObject *sub = g_object_new (test_store_get_type (), NULL);
  g_assert_true (IS_MP_LIBRARY_STORE (sub));
  g_assert_true (MP_LIBRARY_STORE (sub) != NULL);

  GObject *plain = g_object_new (G_TYPE_OBJECT, NULL);
  g_assert_false (IS_MP_LIBRARY_STORE (plain));
  g_assert_false (IS_MP_LIBRARY_STORE (NULL));

  g_object_unref (plain);
  g_object_unref (sub);
  g_object_unref (store);
}

static void
test_finalize_chain (void)
{
  finalize_log = g_string_new (NULL);
  GObject *sub = g_object_new (test_store_get_type (), NULL);
  g_object_set_data_full (sub, "witness", sub, note_gobject_finalized);
  g_object_unref (sub);
  g_assert_cmpstr (finalize_log->str, ==, "subclass;gobject;returned;");

  /* A plain store finalizes through GObject as well. */
  g_string_truncate (finalize_log, 0);
  GObject *store = g_object_new (MP_TYPE_LIBRARY_STORE, NULL);
  g_object_set_data_full (store, "witness", store, note_gobject_finalized);
  g_object_unref (store);
  g_assert_cmpstr (finalize_log->str, ==, "gobject;");
  g_string_free (finalize_log, TRUE);
  finalize_log = NULL;
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
  g_test_add_func ("/store/base/type-registration", test_type_registration);
  g_test_add_func ("/store/base/type-check", test_type_check);
  g_test_add_func ("/store/base/finalize-chain", test_finalize_chain);
  return g_test_run ();
}
