// The page's worker: runs vornalt, compiled to WebAssembly, in a fresh module
// for each request. The dropped files are read where they lie (WORKERFS under
// /in, through a cache of 4 MiB blocks: one browser read per call is slow);
// the files that the program writes are kept in memory in chunks, and each
// output under /out is handed to the page, then removed, as soon as it is
// complete, so that a whole disc fits.
'use strict';

// Threads need shared memory, which the browser gives a cross-origin isolated
// page only; elsewhere the build without threads runs.
const build = self.crossOriginIsolated === true ? 'vornalt-threads' : 'vornalt-plain';
importScripts(build + '.js');

const block_size = 4 << 20;
const streaming_blocks = 8;  // 32 MiB: the blocks of a few movies read side by side
const kept_blocks = 32;      // 128 MiB: blocks read once, kept for their second read

// The blocks being read, the latest last, and the blocks read once: a movie
// is read twice (its two passes), and a browser read costs about as much as
// the conversion's own work, so what the first pass read is kept, up to
// kept_blocks, until the second pass takes it. A disc's directories and a
// CHD's map are read more often; a block read a third time is read again.
let blocks = [];
let kept = new Map();  // "node:index" -> bytes
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
    const key = node.id + ':' + index;
    let bytes = kept.get(key);
    if (bytes) {
        kept.delete(key);  // its second read
    } else {
        const start = index * block_size;
        const slice = node.contents.slice(start, Math.min(start + block_size, node.size));
        bytes = new Uint8Array(reader.readAsArrayBuffer(slice));
        if (kept.size < kept_blocks) kept.set(key, bytes);
    }
    if (blocks.length >= streaming_blocks) blocks.shift();
    blocks.push({node, index, bytes});
    return bytes;
}

// WORKERFS's read, served from whole blocks.
function cached_read(stream, memory, offset, length, position)
{
    const node = stream.node;
    const size = Math.min(length, node.size - position);
    if (size <= 0) return 0;
    copy_pieces(index => block_of(node, index), block_size, memory, offset, size, position, false);
    return size;
}

// Copies between a file kept in pieces of piece_size bytes (piece(index)
// gives one) and the module's memory: into the pieces when into_file, out of
// them otherwise.
function copy_pieces(piece, piece_size, memory, offset, length, position, into_file)
{
    for (let done = 0; done < length;) {
        const at = position + done;
        const bytes = piece(Math.floor(at / piece_size));
        const from = at % piece_size;
        const n = Math.min(length - done, piece_size - from);
        if (into_file)
            bytes.set(memory.subarray(offset + done, offset + done + n), from);
        else
            memory.set(bytes.subarray(from, from + n), offset + done);
        done += n;
    }
}

// The files the program writes (its outputs, tmp.wav, tmp.mp3) are kept in
// chunks of 1 MiB instead of MEMFS's one array, which grows by copying the
// whole file into a new one: a removed or truncated file's chunks serve the
// next file, and an output goes to the page as its chunks. Bytes past a
// file's end in its chunks are zeros, as a file extended by a seek reads.
const chunk_size = 1 << 20;
let spare = [];  // chunks of removed files, zeroed

function take_chunk()
{
    return spare.length > 0 ? spare.pop() : new Uint8Array(chunk_size);
}

function give_back(chunks)
{
    for (const c of chunks) spare.push(c.fill(0));
}

function grow(node, size)
{
    if (!node.chunks) node.chunks = [];
    while (node.chunks.length * chunk_size < size) node.chunks.push(take_chunk());
}

// Copies between a file's chunks and the module's memory.
function copy_chunks(node, memory, offset, length, position, into_file)
{
    copy_pieces(index => node.chunks[index], chunk_size, memory, offset, length, position, into_file);
}

function chunked_read(stream, memory, offset, length, position)
{
    const size = Math.min(length, stream.node.usedBytes - position);
    if (size <= 0) return 0;
    copy_chunks(stream.node, memory, offset, size, position, false);
    return size;
}

function chunked_write(stream, memory, offset, length, position)
{
    const node = stream.node;
    node.timestamp = Date.now();
    grow(node, position + length);
    copy_chunks(node, memory, offset, length, position, true);
    node.usedBytes = Math.max(node.usedBytes, position + length);
    return length;
}

function chunked_allocate(stream, offset, length)
{
    grow(stream.node, offset + length);
    stream.node.usedBytes = Math.max(stream.node.usedBytes, offset + length);
}

function chunked_resize(node, size)
{
    grow(node, size);
    const used = Math.ceil(size / chunk_size);
    give_back(node.chunks.splice(used));
    if (size < node.usedBytes && used > 0) node.chunks[used - 1].fill(0, size - (used - 1) * chunk_size);
    node.usedBytes = size;
}

// The file's bytes as one array (FS.readFile's way in).
function chunked_bytes(node)
{
    const bytes = new Uint8Array(node.usedBytes);
    if (node.usedBytes > 0) copy_chunks(node, bytes, 0, node.usedBytes, 0, false);
    return bytes;
}

// A removed file's chunks serve the next.
function unlink_giving_back(unlink)
{
    return (parent, name) => {
        const node = parent.contents[name];
        if (node && node.chunks) {
            give_back(node.chunks);
            node.chunks = null;
        }
        unlink(parent, name);
    };
}

function use_chunked_files(MEMFS)
{
    spare = [];
    const ops = MEMFS.ops_table;  // what MEMFS's nodes use, made at start-up
    ops.file.stream.read = chunked_read;
    ops.file.stream.write = chunked_write;
    ops.file.stream.allocate = chunked_allocate;
    ops.dir.node.unlink = unlink_giving_back(ops.dir.node.unlink);
    MEMFS.resizeFileStorage = chunked_resize;
    MEMFS.getFileDataAsTypedArray = chunked_bytes;
}

// An output under /out is complete once the program gives it its name.
function hand_over(module, path)
{
    if (!path.startsWith('/out/') || !path.toLowerCase().endsWith('.mpg')) return;
    // The file's chunks go to the page as they are (no copy); MEMFS forgets
    // the file.
    const node = module.FS.lookupPath(path).node;
    const chunks = (node.chunks || []).slice(0, Math.ceil(node.usedBytes / chunk_size));
    const parts = chunks.map((c, i) => c.subarray(0, Math.min(chunk_size, node.usedBytes - i * chunk_size)));
    node.chunks = null;
    module.FS.unlink(path);
    postMessage({type: 'output', path: path.slice(5), parts}, chunks.map(c => c.buffer));
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
    kept = new Map();
    FS.filesystems.WORKERFS.stream_ops.read = cached_read;
    use_chunked_files(FS.filesystems.MEMFS);
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
postMessage({type: 'ready'});
