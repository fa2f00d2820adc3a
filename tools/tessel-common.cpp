#include "tessel.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
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

/* Appends text as a JSON string, strict and UTF-8 whatever its bytes: a
 * byte that is not part of UTF-8 becomes U+FFFD (as g_utf8_make_valid
 * replaces it), quote and backslash are escaped, and so is every control
 * character (as \b, \t, \n, \f, \r or \u00XX, DEL as \u007f); the
 * rest stands as it is.  The one escaping of every --json. */
void
append_json_text (std::string &out, const char *text)
{
  const guchar *p = reinterpret_cast<const guchar *> (text);
  while (*p != '\0' && *p < 0x80)
    p++;
  g_autofree gchar *valid = *p != '\0' ? g_utf8_make_valid (text, -1) : NULL;
  p = reinterpret_cast<const guchar *> (valid != NULL ? valid : text);
  out += '"';
  const guchar *run = p;
  for (; *p != '\0'; p++)
    {
      guchar c = *p;
      if (c >= 0x20 && c != '"' && c != '\\' && c != 0x7f)
        continue;
      out.append (reinterpret_cast<const char *> (run), p - run);
      run = p + 1;
      switch (c)
        {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          {
            char escape[8];
            g_snprintf (escape, sizeof escape, "\\u%04x", c);
            out += escape;
          }
        }
    }
  out.append (reinterpret_cast<const char *> (run), p - run);
  out += '"';
}

/* Writes a built value: objects with their members in the order they
 * were added, as json-glib's generator does. */
void
write_node (TesselJsonWriter &writer, JsonNode *node)
{
  switch (JSON_NODE_TYPE (node))
    {
    case JSON_NODE_OBJECT:
      {
        JsonObject *object = json_node_get_object (node);
        GList *names = json_object_get_members (object);
        writer.begin_object ();
        for (GList *l = names; l != NULL; l = l->next)
          {
            const char *name = static_cast<const char *> (l->data);
            writer.member (name);
            write_node (writer, json_object_get_member (object, name));
          }
        writer.end_object ();
        g_list_free (names);
        break;
      }
    case JSON_NODE_ARRAY:
      {
        JsonArray *array = json_node_get_array (node);
        writer.begin_array ();
        for (guint i = 0; i < json_array_get_length (array); i++)
          write_node (writer, json_array_get_element (array, i));
        writer.end_array ();
        break;
      }
    case JSON_NODE_VALUE:
      switch (json_node_get_value_type (node))
        {
        case G_TYPE_INT64:
          writer.integer (json_node_get_int (node));
          break;
        case G_TYPE_DOUBLE:
          writer.real (json_node_get_double (node));
          break;
        case G_TYPE_BOOLEAN:
          writer.boolean (json_node_get_boolean (node));
          break;
        case G_TYPE_STRING:
          writer.text (json_node_get_string (node));
          break;
        default:
          writer.null ();
        }
      break;
    case JSON_NODE_NULL:
      writer.null ();
      break;
    }
}

} // namespace

TesselJsonWriter::TesselJsonWriter (FILE *out) : out (out) {}

TesselJsonWriter::~TesselJsonWriter () { flush (); }

void
TesselJsonWriter::flush ()
{
  fwrite (pending.data (), 1, pending.size (), out);
  pending.clear ();
}

void
TesselJsonWriter::indent ()
{
  pending += '\n';
  pending.append (2 * filled.size (), ' ');
}

void
TesselJsonWriter::value ()
{
  if (named)
    named = false;
  else if (!filled.empty ())
    {
      if (filled.back ())
        pending += ',';
      filled.back () = true;
      indent ();
    }
  /* A buffer of a few pages between writes. */
  if (pending.size () > 16384)
    flush ();
}

void
TesselJsonWriter::member (const char *name)
{
  if (filled.back ())
    pending += ',';
  filled.back () = true;
  indent ();
  append_json_text (pending, name);
  pending += " : ";
  named = true;
}

void
TesselJsonWriter::begin (char bracket)
{
  value ();
  pending += bracket;
  filled.push_back (false);
}

void
TesselJsonWriter::begin_array ()
{
  begin ('[');
}

void
TesselJsonWriter::begin_object ()
{
  begin ('{');
}

void
TesselJsonWriter::end (char bracket)
{
  bool any = filled.back ();
  filled.pop_back ();
  if (any)
    indent ();
  pending += bracket;
}

void
TesselJsonWriter::end_array ()
{
  end (']');
}

void
TesselJsonWriter::end_object ()
{
  end ('}');
}

void
TesselJsonWriter::text (const char *text)
{
  if (text == NULL)
    {
      null ();
      return;
    }
  value ();
  append_json_text (pending, text);
}

void
TesselJsonWriter::integer (gint64 number)
{
  value ();
  pending += std::to_string (number);
}

void
TesselJsonWriter::real (double number)
{
  /* JSON has no infinity. */
  if (!std::isfinite (number))
    {
      null ();
      return;
    }
  value ();
  char text[G_ASCII_DTOSTR_BUF_SIZE];
  g_ascii_dtostr (text, sizeof text, number);
  pending += text;
  /* Still read as a floating-point number: 1.0, not 1. */
  if (strpbrk (text, ".eE") == NULL)
    pending += ".0";
}

void
TesselJsonWriter::boolean (gboolean truth)
{
  value ();
  pending += truth ? "true" : "false";
}

void
TesselJsonWriter::null ()
{
  value ();
  pending += "null";
}

void
TesselJsonWriter::finish ()
{
  pending += '\n';
  flush ();
}

void
tessel_print_json (JsonBuilder *builder)
{
  g_autoptr (JsonNode) root = json_builder_get_root (builder);
  TesselJsonWriter writer (stdout);
  write_node (writer, root);
  writer.finish ();
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

std::string
tessel_duration_text (gint64 seconds)
{
  if (seconds < 0)
    return "";
  int minutes = static_cast<int> (seconds / 60 % 60);
  int rest = static_cast<int> (seconds % 60);
  std::string text = std::to_string (seconds / 3600);
  const char two[] = { ':',
                       static_cast<char> ('0' + minutes / 10),
                       static_cast<char> ('0' + minutes % 10),
                       ':',
                       static_cast<char> ('0' + rest / 10),
                       static_cast<char> ('0' + rest % 10) };
  return text.append (two, sizeof two);
}

namespace
{

/* The length of text when every byte of it is printable ASCII, as most
 * names and tags are: it then shows as it is, one column a byte.
 * G_MAXSIZE for any other text. */
gsize
plain_length (const char *text)
{
  const guchar *p = reinterpret_cast<const guchar *> (text);
  /* From space to tilde; the end, 0, wraps around above. */
  while (static_cast<guchar> (*p - 0x20) < 0x5f)
    p++;
  return *p == '\0' ? reinterpret_cast<const char *> (p) - text : G_MAXSIZE;
}

} // namespace

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
  if (text == NULL || plain_length (text) != G_MAXSIZE)
    return g_strdup (text != NULL ? text : "");
  GString *out = g_string_new (NULL);
  const gchar *p = text;
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
  /* Every cell as it shows, header first, with the columns it takes.
   * Plain cells show as they are; the others are copied as shown. */
  struct Shown
  {
    const char *text;
    gsize width;
  };
  std::vector<Shown> shown;
  shown.reserve ((rows->len + 1) * static_cast<gsize> (columns));
  g_autoptr (GPtrArray) copies = g_ptr_array_new_with_free_func (g_free);
  std::vector<gsize> widths (columns, 0);
  auto show = [&] (const gchar *const *cells) {
    for (guint c = 0; c < columns; c++)
      {
        const char *text = cells[c] != NULL ? cells[c] : "";
        gsize width = plain_length (text);
        if (width == G_MAXSIZE)
          {
            gchar *copy = tessel_display_text (text);
            g_ptr_array_add (copies, copy);
            text = copy;
            width = tessel_display_width (copy);
          }
        shown.push_back ({ text, width });
        widths[c] = MAX (widths[c], width);
      }
  };
  show (header);
  for (guint r = 0; r < rows->len; r++)
    show (static_cast<const gchar *const *> (rows->pdata[r]));

  /* Written a few pages at a time. */
  std::string line;
  for (gsize first = 0; first < shown.size (); first += columns)
    {
      if (line.size () > 16384)
        {
          fwrite (line.data (), 1, line.size (), out);
          line.clear ();
        }
      for (guint c = 0; c < columns; c++)
        {
          const Shown &cell = shown[first + c];
          gboolean last = c + 1 == columns;
          if (right != NULL && right[c])
            {
              line.append (widths[c] - cell.width, ' ');
              line += cell.text;
              if (!last)
                line.append (2, ' ');
            }
          else
            {
              line += cell.text;
              if (!last)
                line.append (widths[c] + 2 - cell.width, ' ');
            }
        }
      line += '\n';
    }
  fwrite (line.data (), 1, line.size (), out);
}
