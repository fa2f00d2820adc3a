/* Key access and housekeeping for applications: each call refuses a NULL
 * required argument with 0 and otherwise hands its arguments, unchanged,
 * to one storage or configuration call and returns that call's result. */
#include "metadata.h"
#include "metadata_conf.h"
#include "metadata_storage.h"
#include "tessel-private.h"

extern "C" int
meta_get_key_type (const gchar *filename, const gchar *key)
{
  if (filename == NULL || key == NULL)
    return 0;
  return storage_get_key_type (filename, key);
}

extern "C" int
meta_read_integer (const gchar *filename, const gchar *key, gint32 *value)
{
  if (filename == NULL || key == NULL || value == NULL)
    return 0;
  return storage_read_int (filename, key, value);
}

extern "C" int
meta_read_double (const gchar *filename, const gchar *key, gdouble *value)
{
  if (filename == NULL || key == NULL || value == NULL)
    return 0;
  return storage_read_double (filename, key, value);
}

extern "C" int
meta_read_string (const gchar *filename, const gchar *key, gchar **value)
{
  if (filename == NULL || key == NULL || value == NULL)
    return 0;
  return storage_read_text (filename, key, value);
}

/* value may be NULL: *index then receives the element count. */
extern "C" int
meta_read_array (const gchar *filename, const gchar *key, gint *index,
                 void *value, MetaType *type)
{
  if (filename == NULL || key == NULL || index == NULL || type == NULL)
    return 0;
  return storage_read_array (filename, key, index, value, type);
}

extern "C" int
meta_write_integer (const gchar *filename, const gchar *key, gint32 value)
{
  if (filename == NULL || key == NULL)
    return 0;
  return storage_write_int (filename, key, value);
}

extern "C" int
meta_write_double (const gchar *filename, const gchar *key, gdouble value)
{
  if (filename == NULL || key == NULL)
    return 0;
  return storage_write_double (filename, key, value);
}

/* A NULL value writes the empty text. */
extern "C" int
meta_write_string (const gchar *filename, const gchar *key,
                   const gchar *value)
{
  if (filename == NULL || key == NULL)
    return 0;
  return storage_write_text (filename, key, value);
}

extern "C" int
meta_write_array (const gchar *filename, const gchar *key, gint index,
                  MetaValue value)
{
  if (filename == NULL || key == NULL)
    return 0;
  return storage_write_array (filename, key, index, value);
}

extern "C" int
meta_delete_by_key (const gchar *key, MetaValue value)
{
  if (key == NULL)
    return 0;
  return storage_delete_by_key (key, value);
}

extern "C" int
meta_get_file_list (gchar ***list)
{
  if (list == NULL)
    return 0;
  return storage_get_file_list (list);
}

extern "C" int
meta_file_absent (const gchar *filename)
{
  if (filename == NULL)
    return 0;
  return storage_clear_present (filename);
}

extern "C" int
meta_path_absent (const gchar *path)
{
  if (path == NULL)
    return 0;
  return storage_path_clear_present (path);
}

/* The storage call refuses a NULL name itself. */
extern "C" int
meta_set_present (const gchar *filename)
{
  return storage_set_present (filename);
}

extern "C" int
meta_has_recognized_extension (const gchar *filename)
{
  return meta_conf_has_recognized_extension (filename);
}
