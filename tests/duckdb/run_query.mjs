// Runs one SQL file with DuckDB (the engine inside npm's @duckdb/node-api) in the current folder
// and prints its rows as one JSON array, for the end-to-end test of the README's stacking query.
import { readFileSync } from 'node:fs';
import { DuckDBInstance } from '@duckdb/node-api';

const sql = readFileSync(process.argv[2], 'utf8');
const instance = await DuckDBInstance.create(':memory:');
const connection = await instance.connect();
const reader = await connection.runAndReadAll(sql);
// Counts come back as BIGINT: numbers here, as clsid-scan writes them.
const rows = reader.getRowObjectsJson().map((row) => {
    for (const name of ['machines', 'users', 'view'])
        row[name] = Number(row[name]);
    return row;
});
process.stdout.write(JSON.stringify(rows));
