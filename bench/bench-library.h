/* A library shaped like a real one, for the benchmarks. */
#ifndef TESSEL_BENCH_LIBRARY_H
#define TESSEL_BENCH_LIBRARY_H

/* Adds rows rows to the table Metadata of the database at db_path (the
 * table must exist): about 12 songs an album, 4 albums an artist, 40
 * genres; 3 to 5% of the songs without artist, album or genre, 1% without
 * length; 5% videos, 2% playlists, 1% streams and 2% absent rows; 30%
 * played within 60 days, added over a year; in shuffled order.  Song
 * names are /media/mmc1/Music/ARTIST/ALBUM/NN TITLE.mp3.  Deterministic;
 * aborts on failure. */
void bench_generate_library (const char *db_path, int rows);

/* Stores count new songs FOLDER/NNNNN.mp3 through storage_store on the
 * open storage connection, each with the tags an extractor delivers and
 * the file attributes indexing adds.  Aborts when one is refused. */
void bench_store_new_rows (int count, const char *folder);

#endif /* TESSEL_BENCH_LIBRARY_H */
