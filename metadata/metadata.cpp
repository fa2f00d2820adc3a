/* Metadata lists, the string helpers the storage layer builds SQL with, and
 * the library's error domain. */
#include "metadata.h"
#include "tessel-private.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

/* Allocates a node in front of list; NULL when memory is exhausted. */
static MetaItem *
item_new (const gchar *key, MetaType type, MetaItem *list) noexcept
{
  MetaItem *item = static_cast<MetaItem *> (g_try_malloc0 (sizeof (MetaItem)));
  if (item == NULL)
    return NULL;
  item->key = static_cast<gchar *> (g_try_malloc (strlen (key) + 1));
  if (item->key == NULL)
    {
      g_free (item);
      return NULL;
    }
  strcpy (item->key, key);
  item->type = type;
  item->next = list;
  return item;
}

extern "C" MetaItem *
meta_list_append_int (const gchar *key, gint32 value, MetaItem *list)
{
  if (key == NULL)
    return list;
  MetaItem *item = item_new (key, META_TYPE_INTEGER, list);
  if (item == NULL)
    return list;
  memcpy (item->value, &value, sizeof value);
  return item;
}

extern "C" MetaItem *
meta_list_append_float (const gchar *key, gfloat value, MetaItem *list)
{
  if (key == NULL)
    return list;
  MetaItem *item = item_new (key, META_TYPE_FLOAT, list);
  if (item == NULL)
    return list;
  memcpy (item->value, &value, sizeof value);
  return item;
}

/* Text enters a list as UTF-8 (Latin-1 is converted), cut to its whole
 * characters within 255 bytes and
 * with double quotes turned into single ones.  File names are the
 * exception to both: a row must name its file byte for byte, or the file
 * is never found again under its real name (and a"b and a'b would share
 * one row).  Storage escapes every value, so a quote is safe there. */
extern "C" MetaItem *
meta_list_append_text (const gchar *key, const gchar *value, MetaItem *list)
{
  if (key == NULL || value == NULL)
    return list;
  MetaItem *item = item_new (key, META_TYPE_TEXT, list);
  if (item == NULL)
    return list;

  g_autofree gchar *converted = NULL;
  const gchar *chosen = value;
  if (strcmp (key, "Filename") != 0 && !g_utf8_validate (value, -1, NULL))
    {
      converted = g_convert (value, -1, "UTF8", "ISO-8859-1", NULL, NULL,
                             NULL);
      if (converted != NULL)
        chosen = converted;
    }
  tessel_text_to_value (item->value, chosen);
  if (strcmp (key, "Filename") != 0)
    meta_replace (item->value, '"', '\'');
  return item;
}

extern "C" void
meta_free_list (MetaItem **list)
{
  if (list == NULL)
    return;
  while (*list != NULL)
    {
      MetaItem *head = *list;
      *list = head->next;
      g_free (head->key);
      g_free (head);
    }
}

extern "C" MetaItem *
meta_add_file_attrib (const gchar *path, MetaItem *list)
{
  if (path == NULL || list == NULL)
    return list;
  struct stat st;
  if (stat (path, &st) != 0 || !S_ISREG (st.st_mode))
    return list;
  return tessel_list_append_file_attrib (list, &st);
}

MetaItem *
tessel_list_append_file_attrib (MetaItem *list, const struct stat *st)
{
  /* The stored columns are 32-bit: a file too large for them gets no
   * attributes rather than wrong ones. */
  if (list == NULL || st->st_size > G_MAXINT32)
    return list;
  list = meta_list_append_int ("Filesize", static_cast<gint32> (st->st_size),
                               list);
  return meta_list_append_int ("LastModification",
                               static_cast<gint32> (st->st_mtime), list);
}

extern "C" int
meta_replace (gchar *text, gchar from, gchar to)
{
  if (text == NULL || *text == '\0')
    return 0;
  size_t len = strlen (text);
  for (size_t i = 0; i < len; i++)
    if (static_cast<guchar> (text[i]) == static_cast<guchar> (from))
      text[i] = to;
  return 1;
}

extern "C" gchar *
meta_strappend (gchar **str, const gchar *suffix)
{
  if (str == NULL)
    return NULL;
  if (suffix == NULL)
    return *str != NULL ? *str : const_cast<gchar *> ("");
  size_t old_len = *str != NULL ? strlen (*str) : 0;
  size_t add = strlen (suffix);
  gchar *grown = static_cast<gchar *> (realloc (*str, old_len + add + 1));
  if (grown == NULL)
    return NULL;
  memcpy (grown + old_len, suffix, add + 1);
  *str = grown;
  return grown + old_len;
}

extern "C" gchar *
meta_strconcat (const gchar *first, const gchar *second)
{
  if (first == NULL || second == NULL)
    return NULL;
  size_t a = strlen (first), b = strlen (second);
  gchar *out = static_cast<gchar *> (malloc (a + b + 1));
  if (out == NULL)
    return NULL;
  memcpy (out, first, a);
  memcpy (out + a, second, b + 1);
  return out;
}

extern "C" gchar *
meta_strdup (const gchar *str)
{
  if (str == NULL)
    return NULL;
  return strdup (str);
}

/* The debugging aids walk their input but write nothing in a delivered
 * library: nothing is logged apart from GLib's critical warnings. */
extern "C" void
meta_print_metadata (MetaItem *list)
{
  for (MetaItem *item = list; item != NULL; item = item->next)
    ;
}

extern "C" void
meta_print_string_list (gchar **list)
{
  for (gchar **p = list; p != NULL && *p != NULL; p++)
    ;
}

/* Error domain */

static const gchar *const error_texts[] = {
  "Success",
  "Failed",
  "Trying to connect",
  "No available Internet connection",
  "Path unknown",
  "There's no updated data",
  NULL, /* 6 has no entry */
  "Http environment not set",
};

extern "C" GQuark
meta_error_quark (void)
{
  static GQuark quark = 0;
  if (quark == 0)
    quark = g_quark_from_static_string ("libtessel-error-quark");
  return quark;
}

static const gchar *
_str_error (gint code)
{
  const gchar *text = NULL;
  if (code >= 0 && code < static_cast<gint> (G_N_ELEMENTS (error_texts)))
    text = error_texts[code];
  g_return_val_if_fail (text != NULL, NULL);
  return text;
}

static GError *
meta_error_new_valist (gint code, const gchar *format, va_list args)
{
  g_autofree gchar *detail = g_strdup_vprintf (format, args);
  const gchar *text = _str_error (code);
  return g_error_new (meta_error_quark (), code, "%s: %s",
                      text != NULL ? text : "Unknown error", detail);
}

extern "C" GError *
meta_error_new (gint code, const gchar *format, ...)
{
  va_list args;
  va_start (args, format);
  GError *error = meta_error_new_valist (code, format, args);
  va_end (args);
  return error;
}

extern "C" void
meta_set_error (GError **error, gint code, const gchar *format, ...)
{
  if (error == NULL)
    return;
  GError **orig_error = error;
  g_return_if_fail (*orig_error == NULL);
  va_list args;
  va_start (args, format);
  *error = meta_error_new_valist (code, format, args);
  va_end (args);
}
