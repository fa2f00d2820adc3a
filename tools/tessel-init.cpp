#include "tessel.h"

#include <stdio.h>

#include "metadata.h"

int
tessel_cmd_init (int argc, char **argv)
{
  TesselCommonOptions common;
  if (!tessel_parse (&argc, &argv, NULL, "",
                     "Create the database, or open an existing one.",
                     &common))
    return 2;
  if (!tessel_open_or_create (&common))
    return 1;
  printf ("database %s ready, table Metadata\n",
          tessel_database_path (&common));
  meta_destruct ();
  return 0;
}
