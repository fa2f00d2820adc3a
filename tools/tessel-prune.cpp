/* tessel prune: the user's own way to drop the rows of files marked absent,
 * which the library otherwise trims only above its row limit. */
#include "tessel.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "metadata.h"

namespace
{

void
on_count (const gchar *filename, gchar **keys, gchar **values,
          gpointer user_data, gint search_id) noexcept
{
  (void) filename;
  (void) search_id;
  if (keys != NULL && keys[0] != NULL && values[0] != NULL)
    *static_cast<gint64 *> (user_data) = g_ascii_strtoll (values[0], NULL, 10);
}

/* The number of rows marked absent, or -1 when the query failed. */
gint64
count_absent ()
{
  gint64 count = 0;
  if (!meta_search_sync ("SELECT COUNT(*) AS Absent FROM Metadata "
                         "WHERE Present = 0",
                         on_count, &count))
    return -1;
  return count;
}

} // namespace

int
tessel_cmd_prune (int argc, char **argv)
{
  gboolean yes = FALSE;
  const GOptionEntry entries[] = {
    { "yes", 'y', 0, G_OPTION_ARG_NONE, &yes,
      "Remove the rows (without it, only count them)", NULL },
    { NULL, 0, 0, G_OPTION_ARG_NONE, NULL, NULL, NULL }
  };
  TesselCommonOptions common;
  int status = tessel_parse_and_open (
      &argc, &argv, entries,
      "Count the rows of files marked absent (Present = 0), "
      "and with --yes remove\nthem.  Their play times and "
      "other keys go with them.",
      &common);
  if (status != 0)
    return status;

  gint64 before = count_absent ();
  if (before < 0)
    {
      tessel_error ("cannot count the absent rows");
      status = 1;
    }
  else if (!yes)
    printf ("%" G_GINT64_FORMAT " absent rows%s\n", before,
            before > 0 ? " (tessel prune --yes removes them)" : "");
  else
    {
      MetaValue absent;
      memset (&absent, 0, sizeof absent);
      gint32 zero = 0;
      memcpy (absent.value, &zero, sizeof zero);
      absent.type = META_TYPE_INTEGER;
      gint64 after = before > 0 && meta_delete_by_key ("Present", absent)
                         ? count_absent ()
                         : before;
      if (before > 0 && after != 0)
        {
          tessel_error ("cannot remove the absent rows (is the database "
                        "writable?)");
          status = 1;
        }
      else
        printf ("%" G_GINT64_FORMAT " absent rows removed\n", before);
    }
  meta_destruct ();
  return status;
}
