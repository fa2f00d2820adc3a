/* libFuzzer target: the array texts ("MT_ARRAY|type|element|...|") of a
 * key, through the public writers and readers on a temporary database.
 *
 * The input is split at its first NUL: the text before it is written to
 * the key as it stands (a stored text may hold anything, arrays only by
 * convention); the bytes after it drive reads and inserts.  Checked: no
 * crash or bad memory access; an array's length reads back one larger
 * after every successful insert, and the inserted integer or text element
 * reads back at its index. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <glib.h>
#include <glib/gstdio.h>

#include "metadata.h"
#include "metadata_conf.h"
#include "metadata_storage.h"

#define ROW "/media/mmc1/fuzz.mp3"

static gchar *dir;

static void
cleanup (void)
{
  storage_close ();
  g_autofree gchar *db = g_build_filename (dir, "meta_storage", NULL);
  g_unlink (db);
  g_rmdir (dir);
  g_free (dir);
}

static void
open_database (void)
{
  /* Every write is a transaction: on a memory file system they cost no
   * disk flushes. */
  if (g_file_test ("/dev/shm", G_FILE_TEST_IS_DIR))
    dir = g_mkdtemp (g_strdup ("/dev/shm/fuzz-array-XXXXXX"));
  else
    dir = g_dir_make_tmp ("fuzz-array-XXXXXX", NULL);
  if (dir == NULL)
    abort ();
  g_autofree gchar *db = g_build_filename (dir, "meta_storage", NULL);
  storage_set_path (db);
  if (!storage_init ())
    abort ();
  MetaItem *list = meta_list_append_text ("Filename", ROW, NULL);
  int stored = storage_store (list, ROW, 1);
  meta_free_list (&list);
  if (!stored)
    abort ();
  atexit (cleanup);
}

/* The element type as a plain int: the head of a stored text may hold any
 * number, which the reader copies into the MetaType unconverted. */
static gint
tag_of (const MetaType *type)
{
  gint number;
  memcpy (&number, type, sizeof number);
  return number;
}

static gint
array_length (MetaType *type)
{
  gint count = -1;
  if (!storage_read_array (ROW, "Ratings", &count, NULL, type))
    return -1;
  return count;
}

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  if (dir == NULL)
    open_database ();

  const uint8_t *nul = static_cast<const uint8_t *> (memchr (data, 0, size));
  size_t text_len = nul != NULL ? static_cast<size_t> (nul - data) : size;
  g_autofree gchar *text = g_strndup (reinterpret_cast<const gchar *> (data),
                                      text_len);
  /* Too long a text is refused; the key is then left as it was, so start
   * from a known state. */
  if (!storage_write_text (ROW, "Ratings", text))
    storage_write_text (ROW, "Ratings", "MT_ARRAY|1|");
  storage_get_key_type (ROW, "Ratings");

  const uint8_t *ops = nul != NULL ? nul + 1 : data + size;
  const uint8_t *end = data + size;
  while (ops + 3 <= end)
    {
      gint index = static_cast<gint8> (ops[1]);
      MetaType type = META_TYPE_NONE;
      gint before = array_length (&type);
      /* Element contents are checked only on a well-formed array: one
       * whose text ends with the bar that closes its last element. */
      g_autofree gchar *current = NULL;
      storage_read_text (ROW, "Ratings", &current);
      gboolean closed = current == NULL || g_str_has_suffix (current, "|");
      switch (ops[0] % 4)
        {
        case 0:
        case 1:
          {
            /* Read an element; any index is clamped into the array. */
            gchar area[META_VALUE_SIZE];
            memset (area, 0x55, sizeof area);
            gint wanted = index;
            MetaType element_type = META_TYPE_NONE;
            if (storage_read_array (ROW, "Ratings", &wanted, area,
                                    &element_type))
              {
                if (before <= 0 || wanted < 0 || wanted >= before)
                  abort ();
                if (tag_of (&element_type) == META_TYPE_TEXT
                    && memchr (area, '\0', sizeof area) == NULL)
                  abort ();
              }
            break;
          }
        case 2:
          {
            MetaValue value;
            memset (&value, 0, sizeof value);
            value.type = META_TYPE_INTEGER;
            gint32 number = static_cast<gint8> (ops[2]) * 1000003;
            memcpy (value.value, &number, sizeof number);
            if (storage_write_array (ROW, "Ratings", index, value))
              {
                MetaType after_type;
                gint after = array_length (&after_type);
                gint at = index >= 0 && index < MAX (before, 0)
                              ? index
                              : after - 1;
                gint32 back = 0;
                gchar area[META_VALUE_SIZE];
                if (after != MAX (before, 0) + 1
                    || tag_of (&after_type) != META_TYPE_INTEGER
                    || !storage_read_array (ROW, "Ratings", &at, area,
                                            &after_type))
                  abort ();
                memcpy (&back, area, sizeof back);
                if (closed && back != number)
                  abort ();
              }
            break;
          }
        case 3:
          {
            MetaValue value;
            memset (&value, 0, sizeof value);
            value.type = META_TYPE_TEXT;
            /* Up to 8 bytes of the input as the element, bars included:
             * they are stored as blanks. */
            size_t n = MIN (static_cast<size_t> (ops[2] % 9),
                            static_cast<size_t> (end - ops - 3));
            memcpy (value.value, ops + 3, n);
            if (storage_write_array (ROW, "Ratings", index, value))
              {
                MetaType after_type;
                gint after = array_length (&after_type);
                if (after != MAX (before, 0) + 1)
                  abort ();
                /* An element made only of what the reader cannot tell
                 * from its neighbours (nothing) still counts. */
                gint at = index >= 0 && index < MAX (before, 0)
                              ? index
                              : after - 1;
                gchar area[META_VALUE_SIZE];
                if (!storage_read_array (ROW, "Ratings", &at, area,
                                         &after_type))
                  abort ();
                g_autofree gchar *expect = g_strndup (value.value,
                                                      META_VALUE_SIZE - 1);
                g_strdelimit (expect, "|", ' ');
                if (closed && strcmp (area, expect) != 0)
                  abort ();
              }
            ops += n;
            break;
          }
        }
      ops += 3;
    }
  return 0;
}
