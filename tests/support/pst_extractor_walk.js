// Walks a store with the independent reader pst-extractor and prints what it finds as JSON:
// {"folders": [{"path", "containerClass", "contentCount", "items": [{"class", "subject",
// "attachments"}]}]} or {"error": "..."} (exit 1) when the store cannot be opened.
// Usage: node pst_extractor_walk.js MODULE_DIR STORE
'use strict';

const path = require('path');

function main() {
  const [moduleDir, store] = process.argv.slice(2);
  if (!moduleDir || !store) {
    process.stderr.write('usage: pst_extractor_walk.js MODULE_DIR STORE\n');
    process.exit(2);
  }
  // The reader writes its own warnings with console.log; they go to stderr, apart from the JSON.
  for (const name of ['log', 'info', 'warn', 'debug']) {
    console[name] = (...args) => process.stderr.write(args.join(' ') + '\n');
  }
  const { PSTFile } = require(path.join(moduleDir, 'node_modules', 'pst-extractor'));
  const out = { folders: [] };
  let file;
  try {
    file = new PSTFile(store);
    walk(file.getRootFolder(), '', out.folders, 0);
  } catch (e) {
    process.stdout.write(JSON.stringify({ error: String(e && e.message ? e.message : e) }) + '\n');
    process.exit(1);
  } finally {
    if (file) file.close();
  }
  process.stdout.write(JSON.stringify(out) + '\n');
}

function walk(folder, prefix, folders, depth) {
  if (depth > 64) throw new Error('folder tree deeper than 64 levels');
  const record = {
    path: prefix + folder.displayName + '\\',
    containerClass: folder.containerClass,
    contentCount: folder.contentCount,
    items: [],
  };
  folders.push(record);
  if (folder.contentCount > 0) {
    // Every row of the contents table is one item; a null row is a row the reader could not
    // place, which the caller counts as missing.
    for (let i = 0; i < folder.contentCount; ++i) {
      const item = folder.getNextChild();
      if (item === null || item === undefined) {
        record.items.push(null);
        continue;
      }
      record.items.push({
        class: item.messageClass,
        subject: item.subject,
        attachments: typeof item.numberOfAttachments === 'number' ? item.numberOfAttachments : 0,
      });
    }
  }
  if (folder.hasSubfolders) {
    for (const child of folder.getSubFolders()) walk(child, record.path, folders, depth + 1);
  }
}

main();
