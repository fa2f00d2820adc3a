/* tessel: the command-line face of libtessel. */
#include <stdio.h>
#include <string.h>

#include <glib.h>

#include "metadata.h"
#include "metadata_conf.h"
#include "metadata_storage.h"

struct Command
{
  const char *name;
  const char *summary;
  int (*run) (int argc, char **argv);
};

static gchar *opt_database;
static gchar *opt_config;

static const GOptionEntry common_entries[] = {
  { "database", 'd', 0, G_OPTION_ARG_FILENAME, &opt_database,
    "Use FILE as the database", "FILE" },
  { "config", 'c', 0, G_OPTION_ARG_FILENAME, &opt_config,
    "Read the configuration from FILE", "FILE" },
  { NULL, 0, 0, G_OPTION_ARG_NONE, NULL, NULL, NULL }
};

static int
cmd_init (int argc, char **argv)
{
  g_autoptr (GOptionContext) ctx = g_option_context_new ("- create or open the database");
  g_option_context_add_main_entries (ctx, common_entries, NULL);
  g_autoptr (GError) error = NULL;
  if (!g_option_context_parse (ctx, &argc, &argv, &error))
    {
      fprintf (stderr, "tessel: %s\n", error->message);
      return 2;
    }
  if (opt_database != NULL)
    storage_set_path (opt_database);
  if (opt_config != NULL)
    meta_conf_set_path (opt_config);
  if (!meta_init ())
    {
      fprintf (stderr, "tessel: cannot open database '%s'\n",
               opt_database != NULL ? opt_database : "(default)");
      return 1;
    }
  printf ("database %s ready, table Metadata\n",
          opt_database != NULL ? opt_database : "(default)");
  meta_destruct ();
  return 0;
}

static const Command commands[] = {
  { "init", "Create or open the database", cmd_init },
};

static void
usage (FILE *out)
{
  fprintf (out, "Usage: tessel COMMAND [OPTIONS...]\n\nCommands:\n");
  for (const Command &c : commands)
    fprintf (out, "  %-10s %s\n", c.name, c.summary);
  fprintf (out, "\nRun 'tessel COMMAND --help' for a command's options.\n");
}

int
main (int argc, char **argv)
{
  if (argc < 2 || strcmp (argv[1], "--help") == 0 || strcmp (argv[1], "-h") == 0)
    {
      usage (argc < 2 ? stderr : stdout);
      return argc < 2 ? 2 : 0;
    }
  for (const Command &c : commands)
    if (strcmp (argv[1], c.name) == 0)
      return c.run (argc - 1, argv + 1);
  fprintf (stderr, "tessel: unknown command '%s'\n", argv[1]);
  usage (stderr);
  return 2;
}
