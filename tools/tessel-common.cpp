#include "tessel.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <glib/gstdio.h>

#include "metadata.h"
#include "metadata_conf.h"
#include "metadata_storage.h"
#include "metadata_storage_path-private.h"
#include "mp_library_store_fold-private.h"

namespace
{

/* The running command, for the messages. */
const char *command_name;

} // namespace

void
tessel_set_command (const char *name)
{
  command_name = name;
}

void
tessel_error (const char *format, ...)
{
  va_list args;
  va_start (args, format);
  g_autofree gchar *message = g_strdup_vprintf (format, args);
  va_end (args);
  if (command_name == NULL)
    {
      fprintf (stderr, "tessel: %s\n", message);
      return;
    }
  /* Some messages name their command already; it is said once. */
  gsize n = strlen (command_name);
  if (strncmp (message, command_name, n) == 0 && message[n] == ':')
    fprintf (stderr, "tessel: %s\n", message);
  else
    fprintf (stderr, "tessel: %s: %s\n", command_name, message);
}

gboolean
tessel_parse (int *argc, char ***argv, const GOptionEntry *entries,
              const char *parameter_string, const char *summary,
              TesselCommonOptions *common)
{
  gboolean help = FALSE;
  const GOptionEntry common_entries[] = {
    { "database", 'd', 0, G_OPTION_ARG_FILENAME, &common->database,
      "Use FILE as the database (default: ~/.meta_storage)",
      "FILE" },
    { "config", 'c', 0, G_OPTION_ARG_FILENAME, &common->config,
      "Read the configuration from FILE (default: " TESSEL_CONF_PATH ")",
      "FILE" },
    { "help", 'h', 0, G_OPTION_ARG_NONE, &help, "Show this help", NULL },
    { NULL, 0, 0, G_OPTION_ARG_NONE, NULL, NULL, NULL }
  };
  g_autoptr (GOptionContext) ctx = g_option_context_new (parameter_string);
  g_option_context_set_summary (ctx, summary);
  /* GLib's own help puts the usage on two lines; this one says it on one,
   * like the program's. */
  g_option_context_set_help_enabled (ctx, FALSE);
  if (entries != NULL)
    g_option_context_add_main_entries (ctx, entries, NULL);
  g_option_context_add_main_entries (ctx, common_entries, NULL);
  g_autoptr (GError) error = NULL;
  if (!g_option_context_parse (ctx, argc, argv, &error))
    {
      tessel_error ("%s", error->message);
      return FALSE;
    }
  if (help)
    {
      g_autofree gchar *text = g_option_context_get_help (ctx, TRUE, NULL);
      const char *body = text;
      if (g_str_has_prefix (body, "Usage:\n  "))
        {
          body += strlen ("Usage:\n  ");
          fputs ("Usage: ", stdout);
        }
      fputs (body, stdout);
      exit (0);
    }
  return TRUE;
}

const char *
tessel_config_path (const TesselCommonOptions *common)
{
  return common->config != NULL ? common->config : TESSEL_CONF_PATH;
}

gboolean
tessel_check_config (const TesselCommonOptions *common)
{
  const char *path = tessel_config_path (common);
  FILE *file = fopen (path, "r");
  if (file == NULL || !g_file_test (path, G_FILE_TEST_IS_REGULAR))
    {
      const char *why = file == NULL ? g_strerror (errno) : "not a file";
      tessel_error ("cannot read configuration '%s': %s (give --config FILE, "
                    "or install: meson install -C build)",
                    path, why);
      if (file != NULL)
        fclose (file);
      return FALSE;
    }
  fclose (file);
  meta_conf_set_path (path);
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

const char *
tessel_database_path (const TesselCommonOptions *common)
{
  if (common->database != NULL)
    return common->database;
  static gchar *fallback = storage_default_path ();
  return fallback;
}

namespace
{

gboolean
open_database (const TesselCommonOptions *common, gboolean create)
{
  const char *path = tessel_database_path (common);
  storage_set_path (path);
  if (common->config != NULL)
    {
      if (!g_file_test (common->config, G_FILE_TEST_IS_REGULAR))
        {
          tessel_error ("cannot read configuration '%s'", common->config);
          return FALSE;
        }
      meta_conf_set_path (common->config);
    }
  /* Opening creates a missing file; a misspelt name must not leave an
   * empty database behind. */
  GStatBuf st;
  if (!create && g_stat (path, &st) != 0 && errno == ENOENT)
    {
      tessel_error ("no database at '%s' (tessel index creates one)", path);
      return FALSE;
    }
  if (!meta_init ())
    {
      tessel_error ("cannot open database '%s': %s", path,
                    database_problem (path));
      return FALSE;
    }
  return TRUE;
}

} // namespace

gboolean
tessel_open (const TesselCommonOptions *common)
{
  return open_database (common, FALSE);
}

gboolean
tessel_open_or_create (const TesselCommonOptions *common)
{
  return open_database (common, TRUE);
}

int
tessel_parse_and_open (int *argc, char ***argv, const GOptionEntry *entries,
                       const char *summary, TesselCommonOptions *common)
{
  if (!tessel_parse (argc, argv, entries, "", summary, common))
    return 2;
  if (*argc > 1)
    {
      tessel_error ("unexpected argument '%s'", (*argv)[1]);
      return 2;
    }
  if (!tessel_open (common))
    return 1;
  return 0;
}

namespace
{

/* The generator's text as strict JSON.  It copies the bytes of its
 * strings as they are: a name that is not UTF-8 stays so, and U+001F is
 * left unescaped.  Bytes that are not UTF-8 become U+FFFD; a control
 * character can only stand raw inside a string (the layout between
 * values is spaces and newlines), where it is escaped. */
gchar *
strict_json_text (const gchar *text)
{
  g_autofree gchar *valid = g_utf8_make_valid (text, -1);
  GString *out = g_string_sized_new (strlen (valid));
  for (const gchar *p = valid; *p != '\0'; p++)
    if (static_cast<guchar> (*p) < 0x20 && *p != '\n')
      g_string_append_printf (out, "\\u%04x", static_cast<guchar> (*p));
    else
      g_string_append_c (out, *p);
  return g_string_free (out, FALSE);
}

} // namespace

void
tessel_print_json (JsonBuilder *builder)
{
  g_autoptr (JsonNode) root = json_builder_get_root (builder);
  g_autoptr (JsonGenerator) generator = json_generator_new ();
  json_generator_set_pretty (generator, TRUE);
  json_generator_set_root (generator, root);
  g_autofree gchar *text = json_generator_to_data (generator, NULL);
  g_autofree gchar *valid = strict_json_text (text);
  printf ("%s\n", valid);
}

namespace
{

/* Where a path names a memory card: the "mmc" of "mmc1" or "mmc2", the
 * form the storage follows between the two cards; NULL elsewhere. */
const char *
card_name (const char *path)
{
  for (const char *m = strstr (path, "mmc"); m != NULL;
       m = strstr (m + 1, "mmc"))
    if (m[3] == '1' || m[3] == '2')
      return m;
  return NULL;
}

} // namespace

gchar *
tessel_canonical_path (const char *path)
{
  gchar *absolute = g_canonicalize_filename (path, NULL);
  char *real = realpath (absolute, NULL);
  if (real == NULL)
    return absolute;
  if (card_name (absolute) != NULL && card_name (real) == NULL)
    {
      free (real);
      return absolute;
    }
  g_free (absolute);
  gchar *result = g_strdup (real);
  free (real);
  return result;
}

int
tessel_compare_names (const char *a, const char *b)
{
  g_autofree gchar *folded_a = tessel_fold_name (a);
  g_autofree gchar *folded_b = tessel_fold_name (b);
  int folded = strcmp (folded_a, folded_b);
  return folded != 0 ? folded : strcmp (a, b);
}

gboolean
tessel_parse_period (const char *text, long *seconds)
{
  static const struct
  {
    char suffix;
    long unit;
  } units[] = { { 's', 1 }, { 'm', 60 }, { 'h', 3600 }, { 'd', 86400 },
                { 'w', 7 * 86400 } };
  if (text != NULL && g_ascii_isdigit (text[0]))
    {
      gchar *end = NULL;
      errno = 0;
      guint64 value = g_ascii_strtoull (text, &end, 10);
      if (*end == '\0')
        {
          tessel_error ("period '%s' needs a unit: s, m, h, d or w (for "
                        "example %sd)",
                        text, text);
          return FALSE;
        }
      for (const auto &u : units)
        if (errno == 0 && end[0] == u.suffix && end[1] == '\0'
            && value <= static_cast<guint64> (LONG_MAX / u.unit))
          {
            *seconds = static_cast<long> (value) * u.unit;
            return TRUE;
          }
    }
  tessel_error ("invalid period '%s' (for example 90s, 30m, 12h, 7d or 2w)",
                text != NULL ? text : "");
  return FALSE;
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

gsize
tessel_display_width (const char *text)
{
  if (text == NULL)
    return 0;
  /* ASCII, most names and tags, is one column a byte. */
  const char *end = text;
  while (static_cast<guchar> (*end) - 1u < 0x7fu)
    end++;
  if (*end == '\0')
    return end - text;
  if (!g_utf8_validate (text, -1, NULL))
    return strlen (text);
  gsize width = 0;
  for (const char *p = text; *p != '\0'; p = g_utf8_next_char (p))
    {
      gunichar c = g_utf8_get_char (p);
      if (g_unichar_iszerowidth (c))
        continue;
      width += g_unichar_iswide (c) ? 2 : 1;
    }
  return width;
}

gchar *
tessel_display_text (const char *text)
{
  GString *out = g_string_new (NULL);
  const gchar *p = text != NULL ? text : "";
  const gchar *end = p + strlen (p);
  while (p < end)
    {
      gunichar c = g_utf8_get_char_validated (p, end - p);
      if (c == static_cast<gunichar> (-1) || c == static_cast<gunichar> (-2))
        {
          g_string_append_printf (out, "\\x%02x", static_cast<guchar> (*p));
          p++;
          continue;
        }
      const gchar *next = g_utf8_next_char (p);
      if (c == '\n')
        g_string_append (out, "\\n");
      else if (c == '\t')
        g_string_append (out, "\\t");
      else if (c == '\r')
        g_string_append (out, "\\r");
      else if (c < 0x80 && g_unichar_iscntrl (c))
        g_string_append_printf (out, "\\x%02x", c);
      else if (g_unichar_iscntrl (c))
        g_string_append_printf (out, "\\u%04x", c);
      else
        g_string_append_len (out, p, next - p);
      p = next;
    }
  return g_string_free (out, FALSE);
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
  /* What is printed: every cell as it shows, header first. */
  std::vector<std::vector<std::string> > shown;
  auto show = [&] (const gchar *const *cells) {
    std::vector<std::string> line;
    for (guint c = 0; c < columns; c++)
      {
        g_autofree gchar *text = tessel_display_text (cells[c]);
        line.emplace_back (text);
      }
    shown.push_back (std::move (line));
  };
  show (header);
  for (guint r = 0; r < rows->len; r++)
    show (static_cast<const gchar *const *> (rows->pdata[r]));

  std::vector<gsize> widths (columns, 0);
  for (const auto &line : shown)
    for (guint c = 0; c < columns; c++)
      widths[c] = MAX (widths[c], tessel_display_width (line[c].c_str ()));
  auto pad = [&] (gsize from, gsize to) {
    for (; from < to; from++)
      fputc (' ', out);
  };
  for (const auto &line : shown)
    {
      for (guint c = 0; c < columns; c++)
        {
          const char *text = line[c].c_str ();
          gboolean last = c + 1 == columns;
          if (right != NULL && right[c])
            pad (tessel_display_width (text), widths[c]);
          fputs (text, out);
          if (right != NULL && right[c])
            pad (0, last ? 0 : 2);
          else if (!last)
            pad (tessel_display_width (text), widths[c] + 2);
        }
      fputc ('\n', out);
    }
}
