/* The library configuration: extension table and limits, read from one
 * plain text file. */
#include "metadata_conf.h"
#include "metadata_data-private.h"
#include "tessel-private.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef TESSEL_CONF_PATH
#define TESSEL_CONF_PATH "/usr/share/libtessel/metadata_lib.conf"
#endif

static gchar *conf_path;

extern "C" void
meta_conf_set_path (const gchar *path)
{
  g_free (conf_path);
  conf_path = g_strdup (path);
}

/* The extension of a file name: the text after the last dot of the whole
 * name, or NULL. */
static const gchar *
file_extension (const gchar *filename)
{
  if (filename == NULL)
    return NULL;
  const gchar *dot = strrchr (filename, '.');
  return dot != NULL ? dot + 1 : NULL;
}

/* Reads a limit value as atoi would, without its undefined overflow: the
 * value saturates at the 32-bit range. */
static gint32
parse_limit (const gchar *text)
{
  long long v = strtoll (text, NULL, 10);
  return static_cast<gint32> (CLAMP (v, G_MININT32, G_MAXINT32));
}

/* Appends one entry; FALSE when memory is exhausted. */
static gboolean
append_entry (gsize *count, gchar *ext, gchar *libname)
{
  MetaLibEntry *entry = static_cast<MetaLibEntry *> (
      g_try_malloc0 (sizeof (MetaLibEntry)));
  if (entry == NULL)
    return FALSE;
  MetaLibEntry **grown = static_cast<MetaLibEntry **> (g_try_realloc (
      tessel_config->libconf, (*count + 2) * sizeof (MetaLibEntry *)));
  if (grown == NULL)
    {
      g_free (entry);
      return FALSE;
    }
  entry->ext = ext;
  entry->libname = libname;
  grown[*count] = entry;
  grown[*count + 1] = NULL;
  tessel_config->libconf = grown;
  (*count)++;
  return TRUE;
}

extern "C" int
meta_load_lib_conf (void)
{
  FILE *file = fopen (conf_path != NULL ? conf_path : TESSEL_CONF_PATH, "r");
  if (file == NULL)
    return 0;

  /* Loading appends to a table that is already there. */
  gsize count = 0;
  if (tessel_config->libconf == NULL)
    {
      tessel_config->libconf = static_cast<MetaLibEntry **> (
          g_try_malloc0 (sizeof (MetaLibEntry *)));
      if (tessel_config->libconf == NULL)
        {
          fclose (file);
          return 0;
        }
    }
  else
    while (tessel_config->libconf[count] != NULL)
      count++;

  /* A physical line longer than the buffer arrives in pieces, and each
   * piece is a line of its own. */
  char line[256];
  while (fgets (line, sizeof line, file) != NULL)
    {
      if (strlen (line) < 2 || line[0] == '#' || line[0] == ' ')
        continue;

      char *space = strchr (line, ' ');
      gchar *name;
      gchar *value = NULL;
      if (space != NULL)
        {
          name = g_strndup (line, space - line);
          char *rest = space + 1;
          size_t len = strcspn (rest, "\n");
          if (len > 0)
            value = g_strndup (rest, len);
        }
      else
        name = g_strdup (line);

      if (strstr (name, "max_file_sz") != NULL)
        {
          if (value != NULL)
            tessel_config->max_file_sz = parse_limit (value);
          g_free (name);
          g_free (value);
        }
      else if (strstr (name, "max_storage_limit") != NULL)
        {
          if (value != NULL)
            tessel_config->max_storage_limit = parse_limit (value);
          g_free (name);
          g_free (value);
        }
      else if (!append_entry (&count, name, value))
        {
          g_free (name);
          g_free (value);
          fclose (file);
          return 0;
        }
    }

  if (tessel_config->max_file_sz == 0)
    tessel_config->max_file_sz = META_DEFAULT_MAX_FILE_SZ;
  if (tessel_config->max_storage_limit == 0)
    tessel_config->max_storage_limit = META_DEFAULT_MAX_STORAGE_LIMIT;
  fclose (file);
  return 0;
}

extern "C" void
meta_free_lib_conf (void)
{
  if (tessel_config->libconf == NULL)
    return;
  for (MetaLibEntry **e = tessel_config->libconf; *e != NULL; e++)
    {
      g_free ((*e)->ext);
      g_free ((*e)->libname);
      g_free (*e);
    }
  g_free (tessel_config->libconf);
  tessel_config->libconf = NULL;
}

extern "C" int
meta_reload_lib_conf (void)
{
  meta_free_lib_conf ();
  return meta_load_lib_conf ();
}

/* The first entry for the file's extension, or NULL.  Without a loaded
 * table nothing matches, so indexing skips files instead of failing. */
static const MetaLibEntry *
find_entry (const gchar *filename)
{
  const gchar *ext = file_extension (filename);
  if (ext == NULL || tessel_config->libconf == NULL)
    return NULL;
  for (MetaLibEntry **e = tessel_config->libconf; *e != NULL; e++)
    if ((*e)->ext != NULL && g_ascii_strcasecmp ((*e)->ext, ext) == 0)
      return *e;
  return NULL;
}

extern "C" gchar *
meta_get_libname (const gchar *filename)
{
  const MetaLibEntry *entry = find_entry (filename);
  return entry != NULL ? g_strdup (entry->libname) : NULL;
}

extern "C" int
meta_conf_has_recognized_extension (const gchar *filename)
{
  if (filename == NULL || *filename == '\0')
    return 0;
  return find_entry (filename) != NULL ? 1 : 0;
}

extern "C" int
meta_conf_get_max_file_sz (void)
{
  return tessel_config->max_file_sz;
}

extern "C" int
meta_conf_get_max_storage_limit (void)
{
  return tessel_config->max_storage_limit;
}

extern "C" void
meta_print_lib_conf (void)
{
  for (MetaLibEntry **e = tessel_config->libconf; e != NULL && *e != NULL; e++)
    ;
}
