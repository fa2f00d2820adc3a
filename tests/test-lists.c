/* Metadata lists, the string helpers and the error domain, from C: this
 * program also proves that the public headers build as plain C. */
#include <stdlib.h>
#include <string.h>

#include "tessel-test.h"

static gint32
item_int (const MetaItem *item)
{
  gint32 v;
  memcpy (&v, item->value, sizeof v);
  return v;
}

static void
test_append_order_and_types (void)
{
  MetaItem *list = NULL;
  list = meta_list_append_int ("Track", 3, list);
  list = meta_list_append_float ("PixelAspectRatio", 0.5f, list);
  list = meta_list_append_text ("Title", "song", list);

  g_assert_nonnull (list);
  g_assert_cmpstr (list->key, ==, "Title");
  g_assert_cmpint (list->type, ==, META_TYPE_TEXT);
  g_assert_cmpstr (list->value, ==, "song");
  g_assert_cmpstr (list->next->key, ==, "PixelAspectRatio");
  g_assert_cmpint (list->next->type, ==, META_TYPE_FLOAT);
  gfloat f;
  memcpy (&f, list->next->value, sizeof f);
  g_assert_cmpfloat (f, ==, 0.5f);
  g_assert_cmpstr (list->next->next->key, ==, "Track");
  g_assert_cmpint (item_int (list->next->next), ==, 3);
  g_assert_null (list->next->next->next);

  meta_free_list (&list);
  g_assert_null (list);
  /* Freeing an empty list, or through a NULL pointer, does nothing. */
  meta_free_list (&list);
  meta_free_list (NULL);
}

static void
test_append_refuses_null (void)
{
  MetaItem *list = meta_list_append_int ("Track", 1, NULL);
  g_assert_true (meta_list_append_int (NULL, 2, list) == list);
  g_assert_true (meta_list_append_float (NULL, 2.0f, list) == list);
  g_assert_true (meta_list_append_text (NULL, "x", list) == list);
  g_assert_true (meta_list_append_text ("Title", NULL, list) == list);
  g_assert_null (list->next);
  meta_free_list (&list);
}

static void
test_text_rules (void)
{
  gchar long_text[301];
  memset (long_text, 'a', 300);
  long_text[300] = '\0';
  MetaItem *list = meta_list_append_text ("Title", long_text, NULL);
  g_assert_cmpuint (strlen (list->value), ==, 255);

  list = meta_list_append_text ("Title", "say \"hi\"", list);
  g_assert_cmpstr (list->value, ==, "say 'hi'");
  /* A file name keeps its quotes: it must name the file exactly. */
  list = meta_list_append_text ("Filename", "/m/\"q\".mp3", list);
  g_assert_cmpstr (list->value, ==, "/m/\"q\".mp3");

  /* Latin-1 is converted everywhere but in file names. */
  list = meta_list_append_text ("Title", "caf\xe9", list);
  g_assert_cmpstr (list->value, ==, "caf\xc3\xa9");
  list = meta_list_append_text ("Filename", "caf\xe9", list);
  g_assert_cmpstr (list->value, ==, "caf\xe9");
  /* Valid UTF-8 stays as it is. */
  list = meta_list_append_text ("Artist", "Bj\xc3\xb6rk", list);
  g_assert_cmpstr (list->value, ==, "Bj\xc3\xb6rk");
  meta_free_list (&list);
}

/* The cut keeps whole UTF-8 characters: 255 bytes of two-byte "é" end
 * in the middle of one, so 254 bytes stay.  Three- and four-byte
 * characters are cut at their start as well. */
static void
test_text_cut_keeps_characters (gconstpointer data)
{
  const gchar *unit = data;
  GString *text = g_string_new (NULL);
  while (text->len < 300)
    g_string_append (text, unit);
  gsize whole = 255 - 255 % strlen (unit);
  MetaItem *list = meta_list_append_text ("Title", text->str, NULL);
  g_assert_cmpuint (strlen (list->value), ==, whole);
  g_assert_true (g_utf8_validate (list->value, -1, NULL));
  meta_free_list (&list);
  g_string_free (text, TRUE);
}

static void
test_file_attrib (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *file = tessel_fixture_write (fx, "a.mp3", "12345");
  g_autofree gchar *missing = g_build_filename (fx->dir, "none", NULL);

  g_assert_null (meta_add_file_attrib (file, NULL));
  MetaItem *list = meta_list_append_text ("Filename", file, NULL);
  MetaItem *head = list;
  g_assert_true (meta_add_file_attrib (fx->dir, list) == head);
  g_assert_true (meta_add_file_attrib (missing, list) == head);
  g_assert_true (meta_add_file_attrib (NULL, list) == head);

  GStatBuf st;
  g_assert_cmpint (g_stat (file, &st), ==, 0);
  list = meta_add_file_attrib (file, list);
  g_assert_cmpstr (list->key, ==, "LastModification");
  g_assert_cmpint (item_int (list), ==, (gint32) st.st_mtime);
  g_assert_cmpstr (list->next->key, ==, "Filesize");
  g_assert_cmpint (item_int (list->next), ==, 5);
  g_assert_true (list->next->next == head);
  meta_free_list (&list);
}

static void
test_string_helpers (void)
{
  gchar text[] = "a-b-c";
  g_assert_cmpint (meta_replace (text, '-', '+'), ==, 1);
  g_assert_cmpstr (text, ==, "a+b+c");
  g_assert_cmpint (meta_replace (text, 'z', 'y'), ==, 1);
  g_assert_cmpstr (text, ==, "a+b+c");
  gchar empty[] = "";
  g_assert_cmpint (meta_replace (empty, 'a', 'b'), ==, 0);
  g_assert_cmpint (meta_replace (NULL, 'a', 'b'), ==, 0);

  gchar *grown = NULL;
  g_assert_true (meta_strappend (&grown, "abc") == grown);
  g_assert_cmpstr (grown, ==, "abc");
  /* The result is where the suffix starts, not the text. */
  g_assert_true (meta_strappend (&grown, "de") == grown + 3);
  g_assert_cmpstr (grown, ==, "abcde");
  g_assert_null (meta_strappend (NULL, "x"));
  g_assert_nonnull (meta_strappend (&grown, NULL));
  g_assert_cmpstr (grown, ==, "abcde");
  free (grown);

  g_assert_null (meta_strconcat (NULL, "b"));
  g_assert_null (meta_strconcat ("a", NULL));
  gchar *both = meta_strconcat ("ab", "cd");
  g_assert_cmpstr (both, ==, "abcd");
  free (both);
  g_assert_null (meta_strdup (NULL));
  gchar *copy = meta_strdup ("x");
  g_assert_cmpstr (copy, ==, "x");
  free (copy);
}

static void
test_error_domain (void)
{
  g_assert_cmpuint (meta_error_quark (), ==, meta_error_quark ());
  g_assert_cmpstr (g_quark_to_string (meta_error_quark ()), ==,
                   "libtessel-error-quark");

  GError *error = meta_error_new (META_ERROR_PATH_UNKNOWN, "%s", "x");
  g_assert_error (error, META_ERROR, 4);
  g_assert_cmpstr (error->message, ==, "Path unknown: x");
  g_error_free (error);

  error = meta_error_new (META_ERROR_SUCCESS, "OK");
  g_assert_cmpstr (error->message, ==, "Success: OK");
  g_error_free (error);

  error = meta_error_new (META_ERROR_NO_CONNECTION,
                          "There's no internet connection");
  g_assert_cmpstr (error->message, ==,
                   "No available Internet connection: There's no internet "
                   "connection");
  g_error_free (error);

  meta_set_error (NULL, META_ERROR_FAILED, "dropped");

  GError *set = NULL;
  meta_set_error (&set, META_ERROR_HTTP_ENV_NOT_SET, "%d", 7);
  g_assert_error (set, META_ERROR, 7);
  g_assert_cmpstr (set->message, ==, "Http environment not set: 7");

  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "*meta_set_error*orig_error == NULL*");
  meta_set_error (&set, META_ERROR_FAILED, "second");
  g_test_assert_expected_messages ();
  g_assert_cmpint (set->code, ==, META_ERROR_HTTP_ENV_NOT_SET);
  g_error_free (set);

  /* A code without a text still gives an error, after a critical. */
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL, "*_str_error*");
  error = meta_error_new (6, "odd");
  g_test_assert_expected_messages ();
  g_assert_error (error, META_ERROR, 6);
  g_error_free (error);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
  g_test_add_func ("/lists/append/order-and-types",
                   test_append_order_and_types);
  g_test_add_func ("/lists/append/refuses-null", test_append_refuses_null);
  g_test_add_func ("/lists/text/rules", test_text_rules);
  g_test_add_data_func ("/lists/text/cut-two-byte", "\xc3\xa9",
                        test_text_cut_keeps_characters);
  g_test_add_data_func ("/lists/text/cut-three-byte", "\xe6\x9d\xb1",
                        test_text_cut_keeps_characters);
  g_test_add_data_func ("/lists/text/cut-four-byte", "\xf0\x9f\x8e\xb5",
                        test_text_cut_keeps_characters);
  g_test_add ("/lists/file-attrib", TesselFixture, NULL,
              tessel_fixture_setup, test_file_attrib,
              tessel_fixture_teardown);
  g_test_add_func ("/lists/string-helpers", test_string_helpers);
  g_test_add_func ("/errors/domain", test_error_domain);
  return g_test_run ();
}
