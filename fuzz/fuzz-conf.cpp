/* libFuzzer target: the configuration parser on a file holding the
 * fuzzer's bytes.
 *
 * Beyond "no crash, no bad memory access, no leak" it checks what every
 * load promises: the table is there and terminated, both limits are
 * non-zero afterwards (a limit read as 0 takes its default), and lookups
 * answer consistently with the table. */
#include <string.h>

#include "fuzz-input.h"
#include "metadata_conf.h"

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  meta_conf_set_path (
      fuzz_input_write ("fuzz-conf-XXXXXX.conf", data, size));

  config.max_file_sz = 0;
  config.max_storage_limit = 0;
  meta_load_lib_conf ();
  if (config.libconf == NULL || config.max_file_sz == 0
      || config.max_storage_limit == 0)
    abort ();

  /* Every entry with a printable one-line extension must be found again
   * through a file name carrying it, and give the first such entry's
   * library name. */
  for (MetaLibEntry **e = config.libconf; *e != NULL; e++)
    {
      const gchar *ext = (*e)->ext;
      if (ext == NULL || *ext == '\0' || strpbrk (ext, ".\n") != NULL)
        continue;
      g_autofree gchar *name = g_strconcat ("/media/file.", ext, NULL);
      if (!meta_conf_has_recognized_extension (name))
        abort ();
      g_autofree gchar *libname = meta_get_libname (name);
      const MetaLibEntry *first = NULL;
      for (MetaLibEntry **f = config.libconf; *f != NULL && first == NULL; f++)
        if ((*f)->ext != NULL && g_ascii_strcasecmp ((*f)->ext, ext) == 0)
          first = *f;
      if (g_strcmp0 (libname, first->libname) != 0)
        abort ();
    }
  g_autofree gchar *lib = meta_get_libname ("/media/no-dot");
  if (lib != NULL)
    abort ();

  meta_reload_lib_conf ();
  meta_free_lib_conf ();
  if (config.libconf != NULL)
    abort ();
  return 0;
}
