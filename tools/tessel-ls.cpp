/* tessel ls: the stored rows as a table, or as JSON. */
#include "tessel.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <json-glib/json-glib.h>

#include "metadata.h"

namespace
{

/* What ls shows of one row; empty texts for missing values. */
struct Row
{
  std::string file;
  std::string title;
  std::string artist;
  std::string album;
  gint32 length = -1; /* seconds; -1 when unknown */
  gboolean present = FALSE;
};

std::string
read_text (const gchar *name, const gchar *key)
{
  gchar *value = NULL;
  if (!meta_read_string (name, key, &value) || value == NULL)
    return std::string ();
  std::string text (value);
  g_free (value);
  return text;
}

Row
read_row (const std::string &name)
{
  Row row;
  row.file = name;
  row.title = read_text (name.c_str (), "Title");
  row.artist = read_text (name.c_str (), "Artist");
  row.album = read_text (name.c_str (), "Album");
  if (!meta_read_integer (name.c_str (), "Length", &row.length))
    row.length = -1;
  gint32 present = 0;
  row.present = meta_read_integer (name.c_str (), "Present", &present)
                && present != 0;
  return row;
}

void
print_table (const std::vector<Row> &rows)
{
  const char *const header[]
      = { "FILE", "TITLE", "ARTIST", "ALBUM", "LENGTH" };
  const guint columns = G_N_ELEMENTS (header);
  g_autoptr (GPtrArray) cells = g_ptr_array_new_with_free_func (
      reinterpret_cast<GDestroyNotify> (g_strfreev));
  for (const Row &row : rows)
    {
      /* No NULL cells: each row is freed as a string vector. */
      gchar **c = g_new0 (gchar *, columns + 1);
      c[0] = row.present ? g_strdup (row.file.c_str ())
                         : g_strconcat (row.file.c_str (), " (absent)", NULL);
      c[1] = g_strdup (row.title.c_str ());
      c[2] = g_strdup (row.artist.c_str ());
      c[3] = g_strdup (row.album.c_str ());
      c[4] = tessel_format_duration (row.length);
      g_ptr_array_add (cells, c);
    }
  tessel_print_table (stdout, header, columns, cells);
}

/* Adds "key": text, or null for an empty text. */
void
add_text (JsonBuilder *b, const char *key, const std::string &text)
{
  json_builder_set_member_name (b, key);
  if (text.empty ())
    json_builder_add_null_value (b);
  else
    json_builder_add_string_value (b, text.c_str ());
}

void
print_json (const std::vector<Row> &rows)
{
  g_autoptr (JsonBuilder) b = json_builder_new ();
  json_builder_begin_array (b);
  for (const Row &row : rows)
    {
      json_builder_begin_object (b);
      add_text (b, "file", row.file);
      add_text (b, "title", row.title);
      add_text (b, "artist", row.artist);
      add_text (b, "album", row.album);
      json_builder_set_member_name (b, "length");
      if (row.length < 0)
        json_builder_add_null_value (b);
      else
        json_builder_add_int_value (b, row.length);
      json_builder_set_member_name (b, "present");
      json_builder_add_boolean_value (b, row.present);
      json_builder_end_object (b);
    }
  json_builder_end_array (b);
  tessel_print_json (b);
}

} // namespace

int
tessel_cmd_ls (int argc, char **argv)
{
  gboolean all = FALSE;
  gboolean json = FALSE;
  const GOptionEntry entries[] = {
    { "all", 'a', 0, G_OPTION_ARG_NONE, &all,
      "Also list rows marked absent", NULL },
    { "json", 0, 0, G_OPTION_ARG_NONE, &json,
      "Print the rows as a JSON array (length in seconds)", NULL },
    { NULL, 0, 0, G_OPTION_ARG_NONE, NULL, NULL, NULL }
  };
  TesselCommonOptions common;
  if (int status = tessel_parse_and_open (
          &argc, &argv, entries,
          "List the stored rows: file, title, artist, album and "
          "length (h:mm:ss),\nsorted by file name ignoring case.  Rows of "
          "files marked absent are left out unless\n--all is "
          "given, which shows them with \"(absent)\" after the "
          "name.",
          &common))
    return status;

  gchar **names = NULL;
  std::vector<std::string> sorted;
  gboolean listed = meta_get_file_list (&names);
  if (listed)
    for (gchar **n = names; *n != NULL; n++)
      sorted.emplace_back (*n);
  if (names != NULL)
    for (gchar **n = names; *n != NULL; n++)
      g_free (*n);
  free (names);
  if (!listed)
    {
      /* A table that cannot be read is not an empty library. */
      tessel_error ("cannot read the stored rows of '%s'",
                    tessel_database_path (&common));
      meta_destruct ();
      return 1;
    }
  std::sort (sorted.begin (), sorted.end (),
             [] (const std::string &a, const std::string &b) {
               return tessel_compare_names (a.c_str (), b.c_str ()) < 0;
             });

  std::vector<Row> rows;
  for (const std::string &name : sorted)
    {
      Row row = read_row (name);
      if (row.present || all)
        rows.push_back (std::move (row));
    }
  if (json)
    print_json (rows);
  else
    print_table (rows);
  meta_destruct ();
  return 0;
}
