/* Included by every source file of libtessel after the GLib headers. */
#ifndef TESSEL_PRIVATE_H
#define TESSEL_PRIVATE_H

#include <string.h>

#include <glib.h>

/* GLib names the failing function in its return-if-fail criticals.  Under
 * C++ it would use the whole signature; applications match the plain C
 * name, as a C build of the library would print it. */
#undef G_STRFUNC
#define G_STRFUNC ((const char *) (__func__))

/* How many bytes of text fit in max bytes: all of a shorter text, else a
 * cut at the last whole UTF-8 character within max.  Text that is not
 * UTF-8 (a file name in another encoding) is cut at max exactly. */
static inline gsize
tessel_text_cut (const gchar *text, gsize max)
{
  gsize cut = 0;
  while (cut < max && text[cut] != '\0')
    cut++;
  if (cut < max || text[cut] == '\0')
    return cut;
  gsize whole = cut;
  for (int back = 0; back < 3 && whole > 0
                     && (static_cast<guchar> (text[whole]) & 0xC0) == 0x80;
       back++)
    whole--;
  return g_utf8_validate (text, whole, NULL) ? whole : cut;
}

/* Copies at most the first 255 bytes of text, cut as tessel_text_cut
 * does, into a 256-byte value area, always terminated. */
static inline void
tessel_text_to_value (gchar *value, const gchar *text)
{
  gsize len = tessel_text_cut (text, 255);
  memcpy (value, text, len);
  value[len] = '\0';
}

struct stat;
struct _MetaItem;

/* Appends a regular file's size and modification time, as
 * meta_add_file_attrib does, from what stat gave. */
G_GNUC_INTERNAL struct _MetaItem *
tessel_list_append_file_attrib (struct _MetaItem *list, const struct stat *st);

#endif /* TESSEL_PRIVATE_H */
