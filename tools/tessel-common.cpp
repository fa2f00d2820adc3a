#include "tessel.h"

#include <stdarg.h>
#include <stdio.h>

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
      tessel_error ("cannot open database '%s'",
                    common->database != NULL ? common->database
                                             : "/home/user/.meta_storage");
      return FALSE;
    }
  return TRUE;
}
