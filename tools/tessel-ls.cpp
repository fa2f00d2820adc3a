/* tessel ls: the stored rows as a table. */
#include "tessel.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "metadata.h"

namespace
{

/* Releases the strings option parsing put into the common options. */
struct CommonOptionsGuard
{
  TesselCommonOptions *options;
  explicit CommonOptionsGuard (TesselCommonOptions *o) : options (o) {}
  ~CommonOptionsGuard ()
  {
    g_free (options->database);
    g_free (options->config);
  }
};


const char *const header[] = { "FILE", "TITLE", "ARTIST", "ALBUM", "LENGTH" };
const char *const text_keys[] = { "Title", "Artist", "Album" };
constexpr guint columns = G_N_ELEMENTS (header);

/* One row's cells, NULL-terminated, for tessel_print_table; g_strfreev
 * it. */
gchar **
read_row (const gchar *name, gboolean present)
{
  gchar **cells = g_new0 (gchar *, columns + 1);
  cells[0] = present ? g_strdup (name) : g_strconcat (name, " (absent)", NULL);
  for (guint k = 0; k < G_N_ELEMENTS (text_keys); k++)
    {
      gchar *value = NULL;
      if (!meta_read_string (name, text_keys[k], &value))
        value = NULL;
      /* No NULL cells: the row is freed as a string vector. */
      cells[k + 1] = value != NULL ? value : g_strdup ("");
    }
  gint32 length = -1;
  if (!meta_read_integer (name, "Length", &length))
    length = -1;
  cells[columns - 1] = tessel_format_duration (length);
  return cells;
}

} // namespace

int
tessel_cmd_ls (int argc, char **argv)
{
  gboolean all = FALSE;
  const GOptionEntry entries[] = {
    { "all", 'a', 0, G_OPTION_ARG_NONE, &all,
      "Also list rows marked absent", NULL },
    { NULL, 0, 0, G_OPTION_ARG_NONE, NULL, NULL, NULL }
  };
  TesselCommonOptions common;
  CommonOptionsGuard free_common (&common);
  if (!tessel_parse (&argc, &argv, entries, "",
                     "List the stored rows: file, title, artist, album and "
                     "length (h:mm:ss),\nsorted by file name.  Rows of "
                     "files marked absent are left out unless\n--all is "
                     "given, which shows them with \"(absent)\" after the "
                     "name.",
                     &common))
    return 2;
  if (argc > 1)
    {
      tessel_error ("ls: unexpected argument '%s'", argv[1]);
      return 2;
    }
  if (!tessel_open (&common))
    return 1;

  gchar **names = NULL;
  std::vector<std::string> sorted;
  if (meta_get_file_list (&names) && names != NULL)
    for (gchar **n = names; *n != NULL; n++)
      sorted.emplace_back (*n);
  if (names != NULL)
    for (gchar **n = names; *n != NULL; n++)
      g_free (*n);
  free (names);
  std::sort (sorted.begin (), sorted.end ());

  g_autoptr (GPtrArray) rows
      = g_ptr_array_new_with_free_func (reinterpret_cast<GDestroyNotify> (
          g_strfreev));
  for (const std::string &name : sorted)
    {
      gint32 present = 0;
      if (!meta_read_integer (name.c_str (), "Present", &present))
        present = 0;
      if (present || all)
        g_ptr_array_add (rows, read_row (name.c_str (), present != 0));
    }
  tessel_print_table (stdout, header, columns, rows);
  meta_destruct ();
  return 0;
}
