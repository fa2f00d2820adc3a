/* An application written in C, built against the installed headers with
 * pkg-config: it builds and frees a list, loads a configuration and opens
 * a database in the folder given as argv[1], then prints the table's
 * statement so that the calling script can compare it. */
#include <stdio.h>
#include <string.h>

#include <metadata.h>
#include <metadata_conf.h>
#include <metadata_storage.h>

int
main (int argc, char **argv)
{
  if (argc != 2)
    return 2;
  char conf[4096], db[4096];
  snprintf (conf, sizeof conf, "%s/metadata_lib.conf", argv[1]);
  snprintf (db, sizeof db, "%s/meta_storage", argv[1]);

  MetaItem *list = meta_list_append_text ("Filename", "/tmp/a.mp3", NULL);
  list = meta_list_append_int ("Track", 3, list);
  if (strcmp (list->key, "Track") != 0 || strcmp (list->next->value, "/tmp/a.mp3") != 0)
    return 1;
  meta_free_list (&list);
  if (list != NULL)
    return 1;

  FILE *f = fopen (conf, "w");
  if (f == NULL)
    return 1;
  fputs ("mp3 libbrisel_gst\nmax_storage_limit 42\n", f);
  fclose (f);
  meta_conf_set_path (conf);
  meta_load_lib_conf ();
  if (meta_conf_get_max_storage_limit () != 42
      || !meta_conf_has_recognized_extension ("x.MP3"))
    return 1;
  meta_free_lib_conf ();

  storage_set_path (db);
  if (!storage_init ())
    return 1;
  return storage_close () == 0 ? 0 : 1;
}
