// A scripted Oracle workload for node-oracledb in thin mode.
//
// usage: node workload.js HOST PORT SERVICE USER PASSWORD
//
// Connects, runs new and repeated statements with binds (DDL, DML, a PL/SQL block, queries, a
// statement longer than 8 KB), commits, rolls back and disconnects. Prints one line
// "EXECUTE <text>" per execution call (texts escaped like the stand-in's log: \\, \n, \r, \t,
// \xHH) and a closing "SUMMARY" line. Exits 1 on any failure.
'use strict';

const oracledb = require('oracledb');

// Run after the main workload when QX_WORKLOAD_MORE is set (the decoder tests): statement kinds
// and texts a monitor must keep exactly as written; the last two repeat earlier ones.
const MORE = [
  "SELECT 'MiXeD CaSe Literal' AS Label FROM dual",
  'select * from emp@remote_db',
  'WITH recent AS (SELECT id FROM wl_orders WHERE qty > 5) SELECT COUNT(*) FROM recent',
  'CALL dbms_output.enable(2000)',
  'GRANT SELECT ON wl_orders TO PUBLIC',
  'TRUNCATE TABLE wl_orders',
  'LOCK TABLE wl_orders IN EXCLUSIVE MODE',
  'MERGE INTO wl_orders o USING (SELECT 5 AS id FROM dual) s ON (o.id = s.id) ' +
    'WHEN MATCHED THEN UPDATE SET o.qty = 0 ' +
    "WHEN NOT MATCHED THEN INSERT (id, item, qty) VALUES (s.id, 'merged', 1)",
  'SELECT id FROM orders WHERE last_update > SYSDATE - 1',
  'SELECT deleted FROM orders',
  '/* leading comment */ SELECT COUNT(*) FROM wl_orders',
  'SELECT deleted FROM orders',
  'select * from emp@remote_db',
];

const LONG_IN_LIST = Array.from({length: 1300}, (_, i) => String(100000 + i)).join(', ');

function escape(text) {
  let out = '';
  for (const ch of text) {
    const code = ch.codePointAt(0);
    if (ch === '\\') out += '\\\\';
    else if (ch === '\n') out += '\\n';
    else if (ch === '\r') out += '\\r';
    else if (ch === '\t') out += '\\t';
    else if (code < 0x20 || code === 0x7f) out += '\\x' + code.toString(16).padStart(2, '0');
    else out += ch;
  }
  return out;
}

class Workload {
  constructor(connection) {
    this.connection = connection;
    this.executions = 0;
    this.rows = 0;
  }

  async run(sql, binds = []) {
    this.executions += 1;
    console.log('EXECUTE ' + escape(sql));
    return this.connection.execute(sql, binds);
  }

  async query(sql, binds, expectedRows, expectedColumns) {
    const result = await this.run(sql, binds);
    if (result.rows.length !== expectedRows) {
      throw new Error(`${sql}: ${result.rows.length} rows, expected ${expectedRows}`);
    }
    for (const row of result.rows) {
      if (row.length !== expectedColumns) {
        throw new Error(`${sql}: ${row.length} columns, expected ${expectedColumns}`);
      }
    }
    this.rows += result.rows.length;
  }
}

async function main(argv) {
  if (argv.length !== 5) {
    console.error('usage: node workload.js HOST PORT SERVICE USER PASSWORD');
    return 2;
  }
  const [host, port, service, user, password] = argv;
  const connection = await oracledb.getConnection({
    user, password, connectString: `${host}:${port}/${service}`,
  });
  const w = new Workload(connection);
  await w.run('CREATE TABLE wl_orders (id NUMBER, item VARCHAR2(40), qty NUMBER)');
  const insert = 'INSERT INTO wl_orders (id, item, qty) VALUES (:1, :2, :3)';
  const items = ['bolt', 'nut', 'washer'];
  for (let i = 0; i < items.length; i++) {
    await w.run(insert, [i + 1, items[i], 10 * (i + 1)]);
  }
  const update = 'UPDATE wl_orders SET qty = qty + :delta WHERE id = :id';
  await w.run(update, {delta: 5, id: 1});
  await w.run(update, {delta: 7, id: 2});
  const block = 'BEGIN\n  DBMS_APPLICATION_INFO.SET_MODULE(:module, NULL);\nEND;';
  await w.run(block, {module: 'node workload'});
  await w.run(block, {module: 'node workload again'});
  const select = 'SELECT id, item, qty FROM wl_orders WHERE id = :id';
  await w.query(select, {id: 1}, 1, 3);
  await w.query(select, {id: 2}, 1, 3);
  await w.query('SELECT id FROM wl_orders WHERE 1 = 0', [], 0, 1);
  await w.run('DELETE FROM wl_orders WHERE id IN (' + LONG_IN_LIST + ')');
  await connection.commit();
  await w.run(insert, [4, 'spring', 1]);
  await connection.rollback();
  if (process.env.QX_WORKLOAD_MORE) {
    for (const sql of MORE) await w.run(sql);
    await connection.commit();
  }
  if (process.env.QX_WORKLOAD_REPEAT) {
    // The counting tests: one query and one UPDATE run 50 times each from the statement cache,
    // then a statement the server refuses. "ROWCOUNT n" follows each UPDATE.
    for (let i = 0; i < 50; i++) {
      await w.query('SELECT item FROM wl_orders WHERE id = :id', {id: 1}, 1, 1);
    }
    for (let i = 0; i < 50; i++) {
      const r = await w.run('UPDATE wl_orders SET qty = qty + 1 WHERE id = :id /* standin:rows=3 */',
                            {id: 1});
      console.log(`ROWCOUNT ${r.rowsAffected}`);
    }
    try {
      await w.run('SELECT * FROM missing_table');
    } catch (error) {
      console.log(`ERROR ${error.errorNum}`);
    }
    await connection.commit();
  }
  await connection.close();
  console.log(`SUMMARY node-oracledb ${oracledb.versionString} thin executions=${w.executions} rows=${w.rows}`);
  return 0;
}

main(process.argv.slice(2)).then(
  (code) => { process.exitCode = code; },
  (error) => { console.error('FAILED ' + error.message); process.exitCode = 1; });
