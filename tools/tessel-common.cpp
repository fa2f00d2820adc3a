#include "tessel.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib/gstdio.h>

#include "metadata.h"
#include "metadata_conf.h"
#include "metadata_storage.h"

void
tessel_error (const char *format, ...)
{
  va_list args;
  va_start (args, format);
  g_autofree gchar *message = g_strdup_vprintf (format, args);
  va_end (args);
  fprintf (stderr, "tessel: %s\n", message);
}

gboolean
tessel_parse (int *argc, char ***argv, const GOptionEntry *entries,
              const char *parameter_string, const char *summary,
              TesselCommonOptions *common)
{
  const GOptionEntry common_entries[] = {
    { "database", 'd', 0, G_OPTION_ARG_FILENAME, &common->database,
      "Use FILE as the database (default: /home/user/.meta_storage)",
      "FILE" },
    { "config", 'c', 0, G_OPTION_ARG_FILENAME, &common->config,
      "Read the configuration from FILE", "FILE" },
    { NULL, 0, 0, G_OPTION_ARG_NONE, NULL, NULL, NULL }
  };
  g_autoptr (GOptionContext) ctx = g_option_context_new (parameter_string);
  g_option_context_set_summary (ctx, summary);
  if (entries != NULL)
    g_option_context_add_main_entries (ctx, entries, NULL);
  g_option_context_add_main_entries (ctx, common_entries, NULL);
  g_autoptr (GError) error = NULL;
  if (!g_option_context_parse (ctx, argc, argv, &error))
    {
      tessel_error ("%s", error->message);
      return FALSE;
    }
  return TRUE;
}

/* Why the database at path could not be opened, told from the file and
 * its folder: the library reports only that it failed. */
static const char *
database_problem (const char *path)
{
  GStatBuf st;
  if (g_stat (path, &st) == 0)
    {
      if (S_ISDIR (st.st_mode))
        return "it is a folder";
      if (!S_ISREG (st.st_mode))
        return "it is not a regular file";
      if (access (path, R_OK | W_OK) != 0)
        return g_strerror (errno);
      return "file is not a database, or is damaged";
    }
  if (errno != ENOENT)
    return g_strerror (errno);
  g_autofree gchar *folder = g_path_get_dirname (path);
  if (!g_file_test (folder, G_FILE_TEST_IS_DIR))
    return "its folder does not exist";
  if (access (folder, W_OK) != 0)
    return "cannot create it in a read-only folder";
  return "cannot create it";
}

gboolean
tessel_open (const TesselCommonOptions *common)
{
  if (common->database != NULL)
    storage_set_path (common->database);
  if (common->config != NULL)
    {
      if (!g_file_test (common->config, G_FILE_TEST_IS_REGULAR))
        {
          tessel_error ("cannot read configuration '%s'", common->config);
          return FALSE;
        }
      meta_conf_set_path (common->config);
    }
  if (!meta_init ())
    {
      const char *path = common->database != NULL
                             ? common->database
                             : "/home/user/.meta_storage";
      tessel_error ("cannot open database '%s': %s", path,
                    database_problem (path));
      return FALSE;
    }
  return TRUE;
}

gchar *
tessel_format_duration (gint64 seconds)
{
  if (seconds < 0)
    return g_strdup ("");
  return g_strdup_printf ("%" G_GINT64_FORMAT ":%02d:%02d", seconds / 3600,
                          static_cast<int> (seconds / 60 % 60),
                          static_cast<int> (seconds % 60));
}

/* Characters a cell takes on a terminal; bytes for text that is not
 * UTF-8. */
static gsize
cell_width (const gchar *text)
{
  if (text == NULL)
    return 0;
  if (g_utf8_validate (text, -1, NULL))
    return g_utf8_strlen (text, -1);
  return strlen (text);
}

void
tessel_print_table (FILE *out, const char *const *header, guint columns,
                    GPtrArray *rows)
{
  tessel_print_table_aligned (out, header, columns, rows, NULL);
}

void
tessel_print_table_aligned (FILE *out, const char *const *header,
                            guint columns, GPtrArray *rows,
                            const gboolean *right)
{
  g_autofree gsize *widths = g_new0 (gsize, columns);
  for (guint c = 0; c < columns; c++)
    widths[c] = cell_width (header[c]);
  for (guint r = 0; r < rows->len; r++)
    {
      auto cells = static_cast<const gchar *const *> (rows->pdata[r]);
      for (guint c = 0; c < columns; c++)
        widths[c] = MAX (widths[c], cell_width (cells[c]));
    }
  auto pad = [&] (gsize from, gsize to) {
    for (; from < to; from++)
      fputc (' ', out);
  };
  auto print_row = [&] (const gchar *const *cells) {
    for (guint c = 0; c < columns; c++)
      {
        const gchar *text = cells[c] != NULL ? cells[c] : "";
        gboolean last = c + 1 == columns;
        if (right != NULL && right[c])
          pad (cell_width (text), widths[c]);
        fputs (text, out);
        if (right != NULL && right[c])
          pad (0, last ? 0 : 2);
        else if (!last)
          pad (cell_width (text), widths[c] + 2);
      }
    fputc ('\n', out);
  };
  print_row (header);
  for (guint r = 0; r < rows->len; r++)
    print_row (static_cast<const gchar *const *> (rows->pdata[r]));
}
