// Prints the albums of a Tessel database: album, artist, songs and length.
//     gjs tessel-albums.js DATABASE [CONFIG]
imports.gi.versions.Tessel = '0';
const {GLib, Tessel} = imports.gi;
const System = imports.system;

function duration(seconds) {
    if (seconds < 0)
        return '-';
    const pad = n => String(n).padStart(2, '0');
    return `${Math.floor(seconds / 3600)}:${pad(Math.floor(seconds / 60) % 60)}:${pad(seconds % 60)}`;
}

const [database, config] = ARGV;
if (database === undefined) {
    printerr('usage: gjs tessel-albums.js DATABASE [CONFIG]');
    System.exit(2);
}
Tessel.set_path(database);
if (config !== undefined)
    Tessel.conf_set_path(config);
if (!Tessel.init()) {
    printerr(`tessel-albums: cannot open database '${database}'`);
    System.exit(1);
}
let albums;
try {
    // true adds one entry for the songs without album.
    albums = Tessel.LibraryStoreDatabase.get_instance().get_albums(true);
} catch (e) {
    printerr(`tessel-albums: ${e.message}`);
    System.exit(1);
} finally {
    Tessel.destruct();
}
for (const album of albums) {
    if (album.get_count() > 0)
        print([album.get_album() ?? '(unknown)', album.get_artist() ?? '',
            album.get_count(), duration(album.get_length())].join('\t'));
}
