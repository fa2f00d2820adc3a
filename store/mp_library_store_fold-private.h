/* The form in which names of albums, artists and genres are compared and
 * sorted, and the album artist rule: shared by the database store, the
 * tessel command and the extractor plug-ins, so that what the command
 * matches and where a plug-in puts a cover is what the store groups.  Not part of the
 * public ABI. */
#ifndef TESSEL_MP_LIBRARY_STORE_FOLD_PRIVATE_H
#define TESSEL_MP_LIBRARY_STORE_FOLD_PRIVATE_H

#include <string.h>

#include <glib.h>

/* text with case and accents taken away: Unicode case folding, then the
 * canonical decomposition without its combining marks, so "Café Society"
 * and "CAFE SOCIETY" both give "cafe society".  Text that is not valid
 * UTF-8 is folded as its valid part (bad bytes become U+FFFD).  NULL for
 * NULL; otherwise g_free the result. */
static inline gchar *
tessel_fold_name (const gchar *text)
{
  if (text == NULL)
    return NULL;
  const guchar *p = reinterpret_cast<const guchar *> (text);
  while (*p != '\0' && *p < 0x80)
    p++;
  /* ASCII, by far the most common case, folds to its lower case alone. */
  if (*p == '\0')
    return g_ascii_strdown (text, -1);
  g_autofree gchar *valid = g_utf8_make_valid (text, -1);
  g_autofree gchar *folded = g_utf8_casefold (valid, -1);
  g_autofree gchar *decomposed
      = g_utf8_normalize (folded, -1, G_NORMALIZE_NFD);
  GString *out = g_string_sized_new (strlen (decomposed));
  for (const gchar *c = decomposed; *c != '\0'; c = g_utf8_next_char (c))
    {
      gunichar u = g_utf8_get_char (c);
      if (g_unichar_type (u) != G_UNICODE_NON_SPACING_MARK)
        g_string_append_unichar (out, u);
    }
  return g_string_free (out, FALSE);
}

/* A song's album artist as the album list computes it: its AlbumArtist
 * tag, else "Various Artists" for a compilation, else its artist; NULL
 * when none of them is there.  An empty text counts as none.  The
 * result is one of the arguments or a static text. */
static inline const gchar *
tessel_album_artist (const gchar *album_artist, gboolean compilation,
                     const gchar *artist)
{
  if (album_artist != NULL && *album_artist != '\0')
    return album_artist;
  if (compilation)
    return "Various Artists";
  return artist != NULL && *artist != '\0' ? artist : NULL;
}

#endif /* TESSEL_MP_LIBRARY_STORE_FOLD_PRIVATE_H */
