/* How the storage units turn typed values into statement text; not part of
 * the public ABI. */
#ifndef TESSEL_METADATA_STORAGE_VALUES_PRIVATE_H
#define TESSEL_METADATA_STORAGE_VALUES_PRIVATE_H

#include <string.h>

#include <glib.h>

#include "metadata.h"

/* Room for "%f" of any double: 309 integer digits, sign, point, six
 * decimals and the terminator. */
#define STORAGE_REAL_SIZE 328

/* Writes value as C's "%f" writes it in the C locale (six decimals, the
 * exact decimal expansion, '.' whatever the process locale).  FALSE, with
 * nothing written, for infinities and NaN: they have no literal in SQL and
 * their C spelling would be read as a column's name. */
G_GNUC_INTERNAL gboolean storage_format_real (double value,
                                              char buffer[STORAGE_REAL_SIZE]);

/* The text of a 256-byte value area as a new string (g_free it): up to the
 * first NUL, never more than 255 bytes, so a value area without a
 * terminator is never read past its end. */
G_GNUC_INTERNAL gchar *storage_value_text (const gchar *value);

/* The type tag of a value as a plain int.  Callers may hand in any
 * number; reading it as the enum would be undefined for values outside
 * its range. */
static inline gint
storage_value_tag (const MetaType *tag)
{
  gint number;
  memcpy (&number, tag, sizeof number);
  return number;
}

#endif /* TESSEL_METADATA_STORAGE_VALUES_PRIVATE_H */
