#!/usr/bin/python3
"""A scripted Oracle workload for python-oracledb in thin mode.

usage: python_workload.py HOST PORT SERVICE USER PASSWORD

Connects, runs new and repeated statements with binds (DDL, DML, a PL/SQL block, queries, a
statement longer than 8 KB), commits, rolls back and disconnects. Prints one line
"EXECUTE <text>" per execution call (texts escaped like the stand-in's log: \\\\, \\n, \\r,
\\t, \\xHH) and a closing "SUMMARY" line. Exits 1 on any failure.
"""
import os
import sys

import oracledb

# Run after the main workload when QX_WORKLOAD_MORE is set (the decoder tests): statement kinds
# and texts a monitor must keep exactly as written; the last two repeat earlier ones.
MORE = [
    "SELECT 'MiXeD CaSe Literal' AS Label FROM dual",
    "select * from emp@remote_db",
    "WITH recent AS (SELECT id FROM wl_orders WHERE qty > 5) SELECT COUNT(*) FROM recent",
    "CALL dbms_output.enable(2000)",
    "GRANT SELECT ON wl_orders TO PUBLIC",
    "TRUNCATE TABLE wl_orders",
    "LOCK TABLE wl_orders IN EXCLUSIVE MODE",
    "MERGE INTO wl_orders o USING (SELECT 5 AS id FROM dual) s ON (o.id = s.id) "
    "WHEN MATCHED THEN UPDATE SET o.qty = 0 "
    "WHEN NOT MATCHED THEN INSERT (id, item, qty) VALUES (s.id, 'merged', 1)",
    "SELECT id FROM orders WHERE last_update > SYSDATE - 1",
    "SELECT deleted FROM orders",
    "/* leading comment */ SELECT COUNT(*) FROM wl_orders",
    "SELECT deleted FROM orders",
    "select * from emp@remote_db",
]

REPEATS = 50
REPEAT_QUERY = "SELECT item FROM wl_orders WHERE id = :id"
REPEAT_UPDATE = "UPDATE wl_orders SET qty = qty + 1 WHERE id = :id /* standin:rows=3 */"
FAILING = "SELECT * FROM missing_table"

LONG_IN_LIST = ", ".join(str(100000 + i) for i in range(1300))


def escape(text):
    out = []
    for ch in text:
        code = ord(ch)
        if ch == "\\":
            out.append("\\\\")
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\t":
            out.append("\\t")
        elif code < 0x20 or code == 0x7F:
            out.append("\\x%02x" % code)
        else:
            out.append(ch)
    return "".join(out)


class Workload:
    def __init__(self, connection):
        self.cursor = connection.cursor()
        self.executions = 0
        self.rows = 0

    def run(self, sql, binds=None):
        self.executions += 1
        print("EXECUTE " + escape(sql), flush=True)
        if binds is None:
            self.cursor.execute(sql)
        else:
            self.cursor.execute(sql, binds)
        return self.cursor

    def query(self, sql, binds, expected_rows, expected_columns):
        rows = self.run(sql, binds).fetchall()
        if len(rows) != expected_rows:
            raise RuntimeError("%s: %d rows, expected %d" % (sql, len(rows), expected_rows))
        for row in rows:
            if len(row) != expected_columns:
                raise RuntimeError("%s: %d columns, expected %d" % (sql, len(row), expected_columns))
        self.rows += len(rows)


def main(argv):
    if len(argv) != 6:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    host, port, service, user, password = argv[1:]
    connection = oracledb.connect(user=user, password=password,
                                  dsn="%s:%s/%s" % (host, port, service))
    w = Workload(connection)
    w.run("CREATE TABLE wl_orders (id NUMBER, item VARCHAR2(40), qty NUMBER)")
    insert = "INSERT INTO wl_orders (id, item, qty) VALUES (:1, :2, :3)"
    for i, item in enumerate(["bolt", "nut", "washer"]):
        w.run(insert, [i + 1, item, 10 * (i + 1)])
    update = "UPDATE wl_orders SET qty = qty + :delta WHERE id = :id"
    w.run(update, {"delta": 5, "id": 1})
    w.run(update, {"delta": 7, "id": 2})
    block = "BEGIN\n  DBMS_APPLICATION_INFO.SET_MODULE(:module, NULL);\nEND;"
    w.run(block, {"module": "python workload"})
    w.run(block, {"module": "python workload again"})
    select = "SELECT id, item, qty FROM wl_orders WHERE id = :id"
    w.query(select, {"id": 1}, 1, 3)
    w.query(select, {"id": 2}, 1, 3)
    w.query("SELECT id FROM wl_orders WHERE 1 = 0", None, 0, 1)
    w.run("DELETE FROM wl_orders WHERE id IN (" + LONG_IN_LIST + ")")
    connection.commit()
    w.run(insert, [4, "spring", 1])
    connection.rollback()
    if os.environ.get("QX_WORKLOAD_MORE"):
        for sql in MORE:
            w.run(sql)
        connection.commit()
    if os.environ.get("QX_WORKLOAD_REPEAT"):
        # The counting tests: one query and one UPDATE run 50 times each from the statement
        # cache, then a statement the server refuses. "ROWCOUNT n" follows each UPDATE.
        for _ in range(REPEATS):
            w.query(REPEAT_QUERY, {"id": 1}, 1, 1)
        for _ in range(REPEATS):
            w.run(REPEAT_UPDATE, {"id": 1})
            print("ROWCOUNT %d" % w.cursor.rowcount, flush=True)
        try:
            w.run(FAILING)
        except oracledb.DatabaseError as error:
            print("ERROR %d" % error.args[0].code, flush=True)
        connection.commit()
    connection.close()
    print("SUMMARY python-oracledb %s thin executions=%d rows=%d"
          % (oracledb.__version__, w.executions, w.rows))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except Exception as error:  # a failed workload must say why and exit non-zero
        print("FAILED %s" % error, file=sys.stderr)
        sys.exit(1)
