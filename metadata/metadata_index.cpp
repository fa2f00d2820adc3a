/* Initialisation and shutdown, and the indexing of files through
 * extractor plug-ins. */
#include "metadata.h"
#include "metadata_conf.h"
#include "metadata_storage.h"
#include "tessel-private.h"

extern "C" int
meta_init (void)
{
  meta_load_lib_conf ();
  return storage_init ();
}

extern "C" int
meta_destruct (void)
{
  meta_free_lib_conf ();
  return storage_close ();
}
