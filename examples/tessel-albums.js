// Prints the albums of a Tessel database: album, album artist, songs and
// length.  The list is read off the main thread: the main loop keeps
// running while a large library is read, as a player's window must.
//     gjs tessel-albums.js DATABASE [CONFIG]
imports.gi.versions.Tessel = '0';
const {Gio, GLib, Tessel} = imports.gi;
const System = imports.system;

// _async/_finish pairs become calls that return a promise.
Gio._promisify(Tessel.LibraryStoreDatabase.prototype,
    'get_album_list_async', 'get_album_list_finish');

function duration(seconds) {
    if (seconds < 0)
        return '-';
    const pad = n => String(n).padStart(2, '0');
    return `${Math.floor(seconds / 3600)}:${pad(Math.floor(seconds / 60) % 60)}:${pad(seconds % 60)}`;
}

async function printAlbums(store) {
    // Throws GLib.Error when the query fails.
    const albums = await store.get_album_list_async(null);
    for (const album of albums) {
        print([album.get_album(), album.get_album_artist() ?? '(unknown)',
            album.get_count(), duration(album.get_length())].join('\t'));
    }
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
const loop = new GLib.MainLoop(null, false);
let status = 0;
printAlbums(Tessel.LibraryStoreDatabase.get_instance()).catch(e => {
    printerr(`tessel-albums: ${e.message}`);
    status = 1;
}).finally(() => loop.quit());
loop.run();
Tessel.destruct();
System.exit(status);
