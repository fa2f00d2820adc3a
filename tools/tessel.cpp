/* tessel: the command-line face of libtessel, using its public calls only,
 * as any application on the device would. */
#include "tessel.h"

#include <locale.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

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
  { "monitor", "Print a line whenever the database changes",
    tessel_cmd_monitor },
  { "ls", "List the stored rows as a table", tessel_cmd_ls },
  { "prune", "Remove the rows of files marked absent", tessel_cmd_prune },
  { "extract", "Print the metadata a plug-in extracts from files",
    tessel_cmd_extract },
  { "search", "Print the rows of an SQL query", tessel_cmd_search },
  { "find", "Find items by words of title, artist, album, genre, file",
    tessel_cmd_find },
  { "songs", "List songs, of one artist, album or genre", tessel_cmd_songs },
  { "albums", "List albums with song counts and lengths", tessel_cmd_albums },
  { "artists", "List artists with song counts and lengths",
    tessel_cmd_artists },
  { "genres", "List genres with song counts and lengths", tessel_cmd_genres },
  { "videos", "List videos and streams", tessel_cmd_videos },
  { "playlists", "List playlists with their entry counts and lengths",
    tessel_cmd_playlists },
  { "playlist", "List the entries of a playlist file", tessel_cmd_playlist },
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
  fprintf (out, "Usage: tessel COMMAND [OPTION…]\n\nCommands:\n");
  for (const Command &c : commands)
    fprintf (out, "  %-10s %s\n", c.name, c.summary);
  fprintf (out, "\nEvery command takes --database FILE and --config FILE, "
                "also before COMMAND.\n"
                "Run 'tessel --help COMMAND' for a command's options, "
                "'tessel --version' for the version.\n");
}

/* Edits needed to turn a into b (insertions, deletions, substitutions and
 * swaps of neighbours), for suggesting the command a typo meant. */
static gsize
edit_distance (const char *a, const char *b)
{
  gsize n = strlen (a), m = strlen (b);
  std::vector<std::vector<gsize>> d (n + 1, std::vector<gsize> (m + 1));
  for (gsize i = 0; i <= n; i++)
    d[i][0] = i;
  for (gsize j = 0; j <= m; j++)
    d[0][j] = j;
  for (gsize i = 1; i <= n; i++)
    for (gsize j = 1; j <= m; j++)
      {
        gsize cost = a[i - 1] == b[j - 1] ? 0 : 1;
        d[i][j] = MIN (MIN (d[i - 1][j] + 1, d[i][j - 1] + 1),
                       d[i - 1][j - 1] + cost);
        if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
          d[i][j] = MIN (d[i][j], d[i - 2][j - 2] + 1);
      }
  return d[n][m];
}

/* The command closest to name, or NULL when none is close enough to be
 * what was meant: at most two edits, and fewer than the name's length. */
static const char *
closest_command (const char *name)
{
  const char *best = NULL;
  gsize best_distance = 3;
  for (const Command &c : commands)
    {
      gsize d = edit_distance (name, c.name);
      if (d < best_distance && d < strlen (name))
        {
          best = c.name;
          best_distance = d;
        }
    }
  return best;
}

/* TRUE for a common option that takes a value (--database, --config and
 * their short forms, without "=VALUE"). */
static gboolean
takes_value (const char *arg)
{
  return strcmp (arg, "--database") == 0 || strcmp (arg, "-d") == 0
         || strcmp (arg, "--config") == 0 || strcmp (arg, "-c") == 0;
}

static gboolean
is_common_option (const char *arg)
{
  return takes_value (arg) || g_str_has_prefix (arg, "--database=")
         || g_str_has_prefix (arg, "--config=");
}

static const Command *
find_command (const char *name)
{
  for (const Command &c : commands)
    if (strcmp (name, c.name) == 0)
      return &c;
  return NULL;
}

static int
unknown_command (const char *name)
{
  const char *suggestion = closest_command (name);
  if (suggestion != NULL)
    tessel_error ("unknown command '%s'; did you mean '%s'? (tessel --help "
                  "lists the commands)",
                  name, suggestion);
  else
    tessel_error ("unknown command '%s' (tessel --help lists the commands)",
                  name);
  return 2;
}

/* Runs c with the common options given before it, then its own rest. */
static int
run_command (const Command &c, const std::vector<char *> &global, char **rest,
             int n_rest)
{
  /* The command's own name heads its help and its messages. */
  g_autofree gchar *prgname = g_strconcat ("tessel ", c.name, NULL);
  g_set_prgname (prgname);
  tessel_set_command (c.name);
  std::vector<char *> args = { const_cast<char *> (c.name) };
  args.insert (args.end (), global.begin (), global.end ());
  args.insert (args.end (), rest, rest + n_rest);
  args.push_back (NULL);
  return c.run (static_cast<int> (args.size () - 1), args.data ());
}

/* The general help, or with a command name that command's help
 * ("tessel --help ls", "tessel help ls"). */
static int
show_help (const char *name, const std::vector<char *> &global)
{
  if (name == NULL)
    {
      usage (stdout);
      return 0;
    }
  const Command *c = find_command (name);
  if (c == NULL)
    return unknown_command (name);
  char help[] = "--help";
  char *rest[] = { help };
  return run_command (*c, global, rest, 1);
}

int
main (int argc, char **argv)
{
  /* Option values, messages and conversions follow the user's locale;
   * without this the program runs in the C locale, whose character set
   * has no letters beyond ASCII. */
  setlocale (LC_ALL, "");
  /* Options before the command: the common ones are handed on to it. */
  std::vector<char *> global;
  int first = 1;
  for (; first < argc && argv[first][0] == '-'; first++)
    {
      const char *arg = argv[first];
      if (strcmp (arg, "--help") == 0 || strcmp (arg, "-h") == 0)
        return show_help (first + 1 < argc ? argv[first + 1] : NULL, global);
      if (strcmp (arg, "--version") == 0 || strcmp (arg, "-V") == 0)
        {
          printf ("tessel %s\n", TESSEL_VERSION);
          return 0;
        }
      if (!is_common_option (arg))
        {
          tessel_error ("unknown option '%s' (tessel --help lists the "
                        "options)",
                        arg);
          return 2;
        }
      global.push_back (argv[first]);
      if (takes_value (arg))
        {
          if (first + 1 >= argc)
            {
              tessel_error ("%s needs a FILE", arg);
              return 2;
            }
          global.push_back (argv[++first]);
        }
    }
  if (first >= argc)
    {
      usage (stderr);
      return 2;
    }
  const char *name = argv[first];
  if (strcmp (name, "help") == 0)
    return show_help (first + 1 < argc ? argv[first + 1] : NULL, global);
  const Command *c = find_command (name);
  if (c == NULL)
    return unknown_command (name);
  return run_command (*c, global, argv + first + 1, argc - first - 1);
}
