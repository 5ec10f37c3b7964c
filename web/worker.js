// The page's worker: runs vornalt, compiled to WebAssembly, in a fresh module
// for each request. The dropped files are read where they lie (WORKERFS under
// /in, through a cache of 4 MiB blocks: one browser read per call is slow);
// the outputs are written in memory under /out and handed to the page, then
// removed, as soon as each is complete, so that a whole disc fits.
'use strict';

// Threads need shared memory, which the browser gives a cross-origin isolated
// page only; elsewhere the build without threads runs.
const threaded = self.crossOriginIsolated === true;
const build = threaded ? 'vornalt-threads' : 'vornalt-plain';
importScripts(build + '.js');

const block_size = 4 << 20;
const cached_blocks = 8;  // 32 MiB: the blocks of a few movies read side by side

// The most recently used blocks of the dropped files, the latest last.
let blocks = [];
let reader = null;

function block_of(node, index)
{
    const at = blocks.findIndex(b => b.node === node && b.index === index);
    if (at >= 0) {
        const hit = blocks[at];
        blocks.splice(at, 1);
        blocks.push(hit);
        return hit.bytes;
    }
    const start = index * block_size;
    const slice = node.contents.slice(start, Math.min(start + block_size, node.size));
    const bytes = new Uint8Array(reader.readAsArrayBuffer(slice));
    if (blocks.length >= cached_blocks) blocks.shift();
    blocks.push({node, index, bytes});
    return bytes;
}

// WORKERFS's read, served from whole blocks.
function cached_read(stream, buffer, offset, length, position)
{
    const node = stream.node;
    if (position >= node.size) return 0;
    length = Math.min(length, node.size - position);
    let done = 0;
    while (done < length) {
        const at = position + done;
        const index = Math.floor(at / block_size);
        const bytes = block_of(node, index);
        const from = at - index * block_size;
        const n = Math.min(length - done, bytes.length - from);
        if (n <= 0) break;
        buffer.set(bytes.subarray(from, from + n), offset + done);
        done += n;
    }
    return done;
}

// MEMFS grows a file past 1 MiB by an eighth at a time, copying it each time;
// an output grows by doubling instead.
function double_storage(node, capacity)
{
    const previous = node.contents ? node.contents.length : 0;
    if (previous >= capacity) return;
    capacity = Math.max(capacity, previous * 2, 256);
    const old = node.contents;
    node.contents = new Uint8Array(capacity);
    if (node.usedBytes > 0) node.contents.set(old.subarray(0, node.usedBytes), 0);
}

// An output under /out is complete once the program gives it its name.
function hand_over(module, path)
{
    if (!path.startsWith('/out/') || !path.toLowerCase().endsWith('.mpg')) return;
    // The file's own storage goes to the page as it is (no copy); MEMFS
    // forgets it with the file.
    const node = module.FS.lookupPath(path).node;
    const bytes = node.contents ? node.contents.subarray(0, node.usedBytes) : new Uint8Array(0);
    module.FS.unlink(path);
    postMessage({type: 'output', path: path.slice(5), bytes}, [bytes.buffer]);
}

// Runs the program once; request.files are its folder's files, request.args
// its arguments. Lines of standard output and error go to the page as they
// come; the exit status ends the request.
function run(request)
{
    let module = null;
    let ended = false;
    const end = (status, reason) => {
        if (ended) return;
        ended = true;
        // The module's memory at the end: the most it grew to.
        const memory = module && (module.wasmMemory ? module.wasmMemory.buffer : module.HEAP8 && module.HEAP8.buffer);
        postMessage({type: 'end', status, reason, heap: memory ? memory.byteLength : 0});
    };
    const settings = {
        print: line => postMessage({type: 'stdout', line}),
        printErr: line => postMessage({type: 'stderr', line}),
        onExit: status => end(status, ''),
        onAbort: what => end(-1, String(what)),
        locateFile: path => path,
        mainScriptUrlOrBlob: build + '.js',  // what the threads' workers load
    };
    createVornalt(settings).then(m => {
        module = m;
        try {
            start(m, request);
        } catch (e) {
            end(-1, String(e));  // a crash: onExit has not come
        }
    }, e => end(-1, String(e)));
}

// Readies the module's file systems and starts the program.
function start(m, request)
{
    const FS = m.FS;
    if (!reader) reader = new FileReaderSync();
    blocks = [];
    FS.filesystems.WORKERFS.stream_ops.read = cached_read;
    FS.filesystems.MEMFS.expandFileStorage = double_storage;
    const rename = FS.rename;
    FS.rename = (from, to) => {
        rename(from, to);
        hand_over(m, to);
    };
    FS.mkdir('/in');
    FS.mount(FS.filesystems.WORKERFS, {files: request.files}, '/in');
    FS.mkdir('/out');
    // The program runs in a folder in memory that holds the dropped files
    // (links to them), as on the command line: inputs named as the user
    // knows them, its tmp.wav and tmp.mp3 beside them.
    FS.mkdir('/work');
    for (const f of request.files) FS.symlink('/in/' + f.name, '/work/' + f.name);
    FS.chdir('/work');
    m.callMain(request.args);
}

onmessage = event => run(event.data);
postMessage({type: 'ready', threaded});
