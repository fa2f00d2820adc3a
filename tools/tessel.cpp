/* tessel: the command-line face of libtessel, using its public calls only,
 * as any application on the device would. */
#include "tessel.h"

#include <stdio.h>
#include <string.h>

struct Command
{
  const char *name;
  const char *summary;
  int (*run) (int argc, char **argv);
};

/* One line per subcommand. */
static const Command commands[] = {
  { "init", "Create or open the database", tessel_cmd_init },
  { "index", "Index new and changed media files in folders", tessel_cmd_index },
  { "watch", "Keep the database current as files and cards come and go",
    tessel_cmd_watch },
  { "ls", "List the stored rows as a table", tessel_cmd_ls },
  { "extract", "Print the metadata a plug-in extracts from files",
    tessel_cmd_extract },
  { "search", "Print the rows of an SQL query", tessel_cmd_search },
  { "songs", "List songs, of one artist, album or genre", tessel_cmd_songs },
  { "albums", "List albums with song counts and lengths", tessel_cmd_albums },
  { "artists", "List artists with song counts and lengths",
    tessel_cmd_artists },
  { "genres", "List genres with song counts and lengths", tessel_cmd_genres },
  { "videos", "List videos and streams", tessel_cmd_videos },
  { "playlists", "List playlists", tessel_cmd_playlists },
  { "unplayed", "List items never played", tessel_cmd_unplayed },
  { "played", "List items played recently", tessel_cmd_played },
  { "added", "List items added recently", tessel_cmd_added },
  { "stats", "Count songs, videos, artists, albums, genres",
    tessel_cmd_stats },
  { "radio", "Browse the internet radio directory", tessel_cmd_radio },
};

static void
usage (FILE *out)
{
  fprintf (out, "Usage: tessel COMMAND [OPTIONS...]\n\nCommands:\n");
  for (const Command &c : commands)
    fprintf (out, "  %-10s %s\n", c.name, c.summary);
  fprintf (out, "\nEvery command takes --database FILE and --config FILE.\n"
                "Run 'tessel COMMAND --help' for a command's options.\n");
}

int
main (int argc, char **argv)
{
  if (argc < 2)
    {
      usage (stderr);
      return 2;
    }
  if (strcmp (argv[1], "--help") == 0 || strcmp (argv[1], "-h") == 0
      || strcmp (argv[1], "help") == 0)
    {
      usage (stdout);
      return 0;
    }
  for (const Command &c : commands)
    if (strcmp (argv[1], c.name) == 0)
      return c.run (argc - 1, argv + 1);
  fprintf (stderr, "tessel: unknown command '%s'\n", argv[1]);
  usage (stderr);
  return 2;
}
