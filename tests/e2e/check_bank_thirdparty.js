'use strict';
// Has a third-party VST 2 preset reader (npm: vst2-preset-parser, pinned to 0.1.1)
// read bank files written by KARVO2, so that the header is checked by code that
// knows nothing of ours.
//
//     node check_bank_thirdparty.js MODULES_DIR BANK.fxb ...
//
// MODULES_DIR is the node_modules folder that `npm ci --prefix tests/thirdparty`
// fills. The reader is lax about sizes (it cuts a chunk that runs past the end of
// the file and ignores bytes behind it), so the sizes are checked here against the
// file's own length. After the real files, broken copies of the first one must be
// rejected, which shows that each check can fail.
const fs = require('fs');
const path = require('path');

const PINNED = '0.1.1';
const HEADER = 160;
const CHUNK = 128 * 71;

function loadParser(modulesDir) {
  const root = path.resolve(modulesDir);
  let file;
  try {
    file = require.resolve('vst2-preset-parser', { paths: [root] });
  } catch (e) {
    throw new Error(`vst2-preset-parser is not installed under ${root} ` +
                    '(run: npm ci --prefix tests/thirdparty)');
  }
  // require.resolve also looks in parent and global folders; only the pinned copy counts.
  if (!file.startsWith(root + path.sep)) {
    throw new Error(`vst2-preset-parser was found at ${file}, outside ${root}`);
  }
  const pkg = JSON.parse(fs.readFileSync(path.join(path.dirname(file), 'package.json'), 'utf8'));
  if (pkg.version !== PINNED) {
    throw new Error(`vst2-preset-parser is ${pkg.version}, the tests pin ${PINNED}`);
  }
  return require(file);
}

// Returns the faults the reader finds in one bank whose file is fileSize bytes long.
function faults(parse, buffer, fileSize) {
  let bank;
  try {
    bank = parse(buffer);
  } catch (e) {
    return [`the reader rejects it: ${e.message}`];
  }
  const found = [];
  const expect = (what, got, want) => {
    if (got !== want) found.push(`${what} is ${JSON.stringify(got)}, not ${JSON.stringify(want)}`);
  };
  expect('chunkMagic', bank.chunkMagic, 'CcnK');
  expect('firstChunkByteSize', bank.firstChunkByteSize, 0);
  expect('fxMagic', bank.fxMagic, 'FBCh');
  expect('idString', bank.idString, 'QVTX');
  expect('version', bank.version, 1);
  expect('fxVersion', bank.fxVersion, 1);
  expect('count', bank.count, 128);
  expect('byteSize', bank.byteSize, CHUNK);
  expect('bankChunk length', bank.bankChunk ? bank.bankChunk.length : undefined, CHUNK);
  expect('byteSize + header', bank.byteSize + HEADER, fileSize);
  if (!bank.future || bank.future.length !== 128 || bank.future.some((b) => b !== 0)) {
    found.push('the 128 reserved bytes are not all zero');
  }
  return found;
}

function brokenCopies(good) {
  const put = (at, bytes) => {
    const copy = Buffer.from(good);
    Buffer.from(bytes).copy(copy, at);
    return copy;
  };
  const u32 = (v) => { const b = Buffer.alloc(4); b.writeUInt32BE(v); return b; };
  return [
    ['magic', put(0, 'CcnX')],
    ['byte-size field', put(4, u32(1))],
    ['regular bank kind', put(8, 'FxBk')],
    ['format version', put(12, u32(2))],
    ['plug-in id', put(16, 'QVTx')],
    ['plug-in version', put(20, u32(2))],
    ['program count', put(24, u32(127))],
    ['reserved byte', put(60, [1])],
    ['chunk size', put(156, u32(CHUNK - 1))],
    ['one byte short', good.subarray(0, good.length - 1)],
    ['one byte more', Buffer.concat([good, Buffer.alloc(1)])],
    ['header only', good.subarray(0, HEADER)],
  ];
}

function main(argv) {
  if (argv.length < 2) {
    console.log('usage: node check_bank_thirdparty.js MODULES_DIR BANK.fxb ...');
    return 2;
  }
  let parse;
  try {
    ({ parse } = loadParser(argv[0]));
  } catch (e) {
    console.log(`FAIL: ${e.message}`);
    return 1;
  }
  const banks = argv.slice(1);
  for (const file of banks) {
    let buffer;
    let size;
    try {
      buffer = fs.readFileSync(file);
      size = fs.statSync(file).size;
    } catch (e) {
      console.log(`FAIL ${file}: ${e.message}`);
      return 1;
    }
    const found = faults(parse, buffer, size);
    if (found.length) {
      console.log(`FAIL ${file}: ${found.join('; ')}`);
      return 1;
    }
    const bank = parse(buffer);
    console.log(`ok ${file}: plug-in ${bank.idString}, ${bank.count} programs, ` +
                `chunk of ${bank.bankChunk.length} bytes`);
  }
  const good = fs.readFileSync(banks[0]);
  const copies = brokenCopies(good);
  for (const [what, broken] of copies) {
    if (faults(parse, broken, broken.length).length === 0) {
      console.log(`FAIL: a bank with a broken ${what} was accepted`);
      return 1;
    }
  }
  console.log(`ok: ${copies.length} broken copies of ${banks[0]} rejected`);
  return 0;
}

process.exitCode = main(process.argv.slice(2));
