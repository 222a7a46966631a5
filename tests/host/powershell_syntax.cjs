// Parses PowerShell files with the tree-sitter-powershell grammar through
// web-tree-sitter (WebAssembly: no native build) and lists every ERROR and
// MISSING node with its line and column. It is a grammar of PowerShell, not
// PowerShell's own parser: it finds unbalanced braces, quotes and
// parentheses, but a misspelt command or keyword still parses.
//
//   node powershell_syntax.cjs NPM-FOLDER FILE...
//
// Exit status: 0 no file has a syntax error, 1 some file has, 2 the grammar
// could not be loaded (the message says why).
'use strict';
const fs = require('fs');
const path = require('path');
const { createRequire } = require('module');
// The grammar's WebAssembly is large: V8's optimising compiler would take
// tens of seconds over it (and the process waits for that at exit), while
// its baseline compiler alone parses a script in a fraction of a second.
require('v8').setFlagsFromString('--liftoff-only');

async function main() {
  const [npm, ...files] = process.argv.slice(2);
  const modules = path.resolve(npm, 'node_modules');
  // Resolved as from a file in NPM-FOLDER, so that the package's exports apply.
  const runtime = createRequire(path.join(modules, '..', 'lint.cjs'))('web-tree-sitter');
  const { Parser, Language } = runtime;
  await Parser.init(); // sets the ABI range the runtime reads
  const grammar = path.join(modules, 'tree-sitter-powershell', 'tree-sitter-powershell.wasm');
  const language = await Language.load(fs.readFileSync(grammar));
  const parser = new Parser();
  parser.setLanguage(language); // throws when the grammar's ABI is outside the runtime's range
  console.log(`grammar ABI ${language.abiVersion}, runtime reads ABI ` +
              `${runtime.MIN_COMPATIBLE_VERSION} to ${runtime.LANGUAGE_VERSION}`);
  let broken = 0;
  for (const file of files) {
    const tree = parser.parse(fs.readFileSync(file, 'utf8'));
    const found = [];
    // Only subtrees that hold an error need a visit.
    const pending = [tree.rootNode];
    while (pending.length > 0) {
      const node = pending.pop();
      if (node.isMissing || node.isError) {
        const { row, column } = node.startPosition;
        found.push([row, column, node.isMissing ? `MISSING ${node.type}` : 'ERROR']);
      }
      if (node.hasError) pending.push(...node.children);
    }
    found.sort((a, b) => a[0] - b[0] || a[1] - b[1]);
    for (const [row, column, what] of found) {
      console.log(`${file}:${row + 1}:${column + 1}: ${what}`);
    }
    console.log(`${file}: ${found.length} syntax error(s)`);
    if (found.length > 0) broken++;
  }
  return broken > 0 ? 1 : 0;
}

main().then((status) => { process.exitCode = status; },
            (error) => { console.error(`cannot parse: ${error.stack || error}`); process.exitCode = 2; });
