#include "tessel.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include "metadata.h"
#include "metadata_conf.h"

namespace
{

const char *
type_name (MetaType type)
{
  switch (type)
    {
    case META_TYPE_INTEGER:
      return "integer";
    case META_TYPE_FLOAT:
      return "float";
    case META_TYPE_TEXT:
      return "text";
    default:
      return "unknown";
    }
}

std::string
value_text (const MetaItem *item)
{
  switch (item->type)
    {
    case META_TYPE_INTEGER:
      {
        gint32 v;
        memcpy (&v, item->value, sizeof v);
        return std::to_string (v);
      }
    case META_TYPE_FLOAT:
      {
        gfloat v;
        memcpy (&v, item->value, sizeof v);
        char buf[G_ASCII_DTOSTR_BUF_SIZE];
        return g_ascii_dtostr (buf, sizeof buf, v);
      }
    case META_TYPE_TEXT:
      return std::string (item->value, strnlen (item->value, META_VALUE_SIZE));
    default:
      return std::string ();
    }
}

/* Prints the file's name, then one line per item in list order: key, type
 * and value, the first two columns aligned to their widest cell. */
void
print_list (const char *filename, const MetaItem *list)
{
  g_autofree gchar *shown_name = tessel_display_text (filename);
  printf ("%s\n", shown_name);
  if (list == nullptr)
    {
      printf ("  (no metadata)\n");
      return;
    }
  int key_width = 0;
  int type_width = 0;
  for (const MetaItem *i = list; i != nullptr; i = i->next)
    {
      key_width = MAX (key_width, (int) strlen (i->key != NULL ? i->key : ""));
      type_width = MAX (type_width, (int) strlen (type_name (i->type)));
    }
  for (const MetaItem *i = list; i != nullptr; i = i->next)
    {
      g_autofree gchar *shown = tessel_display_text (value_text (i).c_str ());
      printf ("  %-*s  %-*s  %s\n", key_width, i->key != NULL ? i->key : "",
              type_width, type_name (i->type), shown);
    }
}

} // namespace

int
tessel_cmd_extract (int argc, char **argv)
{
  TesselCommonOptions common;
  gboolean id3 = FALSE;
  g_autofree gchar *plugin_name = NULL;
  const GOptionEntry entries[] = {
    { "id3", 0, 0, G_OPTION_ARG_NONE, &id3,
      "Use the plug-in's ID3 extractor (meta_ext_id3) instead of "
      "get_metadata",
      NULL },
    { "plugin", 0, 0, G_OPTION_ARG_STRING, &plugin_name,
      "Ask the plug-in NAME (loaded as NAME.so.0, e.g. libbrisel_gst) "
      "instead of the one configured for each file",
      "NAME" },
    { NULL, 0, 0, G_OPTION_ARG_NONE, NULL, NULL, NULL }
  };
  if (!tessel_parse (&argc, &argv, entries, "FILE...",
                     "Print the metadata the configured plug-in (or the "
                     "one --plugin names) extracts from each FILE (key, type, value), without touching "
                     "the database.",
                     &common))
    return 2;
  if (argc < 2)
    {
      tessel_error ("no file given");
      return 2;
    }
  if (!tessel_check_config (&common))
    return 1;
  meta_load_lib_conf ();

  const char *symbol = id3 ? "meta_ext_id3" : "get_metadata";
  int status = 0;
  for (int i = 1; i < argc; i++)
    {
      /* The indexer hands plug-ins absolute names; so does this. */
      g_autofree gchar *filename = g_canonicalize_filename (argv[i], NULL);
      if (!g_file_test (filename, G_FILE_TEST_EXISTS))
        {
          tessel_error ("cannot read '%s': no such file", argv[i]);
          status = 1;
          continue;
        }
      g_autofree gchar *libname
          = plugin_name != NULL ? g_strdup (plugin_name) : meta_get_libname (filename);
      if (libname == NULL)
        {
          tessel_error ("no plug-in configured for '%s'", argv[i]);
          status = 1;
          continue;
        }
      g_autoptr (GError) error = NULL;
      MetaItem *list
          = meta_extract_with_plugin (libname, symbol, filename, &error);
      if (error != NULL)
        {
          tessel_error ("%s", error->message);
          status = 1;
          continue;
        }
      print_list (filename, list);
      meta_free_list (&list);
    }
  meta_free_lib_conf ();
  return status;
}
