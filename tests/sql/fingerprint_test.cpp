// Statement fingerprints: pairs of real-world statements that must and must not share one.
#include <gtest/gtest.h>

#include "sql/fingerprint.h"

namespace qx::sql {
namespace {

struct Pair {
  const char* a;
  const char* b;
};

TEST(Fingerprint, StatementsThatDifferOnlyInLiteralsBindsBlanksAndCaseShareOne) {
  const Pair same[] = {
      {"SELECT * FROM emp WHERE empno = 7369", "select *  from EMP\n where EMPNO=7788"},
      {"select ename from emp where ename = 'SMITH'", "select ename from emp where ename = 'O''Brien'"},
      {"select * from t where c = q'[it's]'", "select * from t where c = Q'{a ] b}'"},
      {"select * from t where c = q'!x!'", "select * from t where c = 'y'"},
      {"select * from t where c = N'abc'", "select * from t where c = 'z'"},
      {"select * from t where id in (1, 2, 3)", "select * from t where id in (42)"},
      {"select * from t where id in (:1, :2)", "select * from t where id IN (:a,:b,:c,:d)"},
      {"insert into t (a, b) values (1, 'x')", "INSERT INTO t(a,b) VALUES (2,'y'), (3,'z')"},
      {"update emp set sal = :B1 where empno = :B2", "update emp set sal = :sal where empno = :id"},
      {"select /*+ index(e) */ * from emp e -- hint\n where e.deptno = 10",
       "select * from emp e where e.deptno = 20;"},
      {"select * from t where d = DATE '2024-01-31'", "select * from t where d = date '1999-12-31'"},
      {"select * from t where d > TO_DATE('2024-01-31','YYYY-MM-DD')",
       "select * from t where d > to_date('01/02/2020', 'DD/MM/YYYY')"},
      {"select x from t where y = -1.5e3", "select x from t where y = 2"},
      {"select x from t where r = X'0A1B'", "select x from t where r = 'zz'"},
      {"select x from t where n = 0x1F", "select x from t where n = 7"},
      {"begin dbms_output.put_line('a'); end;", "BEGIN DBMS_OUTPUT.PUT_LINE('b'); END;"},
      {"select count(*) from t", "select COUNT (*) from t"},
      {"select a from t where b = ?", "select a from t where b = :1"},
      {"select a from t1 where c = 5 ", "select a from t1 where c = 5.25d"},
  };
  for (const Pair& p : same) {
    EXPECT_EQ(Fingerprint(p.a), Fingerprint(p.b)) << p.a << "\n" << p.b;
    EXPECT_EQ(FingerprintHash(Fingerprint(p.a)), FingerprintHash(Fingerprint(p.b)));
  }
}

TEST(Fingerprint, StatementsThatDoDifferentWorkKeepTheirOwn) {
  const Pair differ[] = {
      {"select * from emp where empno = 1", "select * from dept where deptno = 1"},
      {"select * from emp where empno = 1", "select * from emp where empno > 1"},
      {"select * from emp where empno = 1", "select * from emp where empno = :1"},
      {"select a from t", "select b from t"},
      {"select * from \"Emp\"", "select * from \"EMP\""},
      {"select a - 1 from t", "select a from t"},
      {"select a from t where x = 1 and y = 2", "select a from t where x = 1 or y = 2"},
      {"insert into t (a, b) values (1, 2)", "insert into t (a) values (1)"},
      {"select * from t where id in (1, 2)", "select * from t where id not in (1, 2)"},
      {"select * from t where id in (select id from u)", "select * from t where id in (1)"},
      {"select * from emp@remote where a = 1", "select * from emp where a = 1"},
      {"select 'a--b' from t", "select 'a' from t2"},
      {"delete from orders where id = 1", "select id from orders where id = 1"},
  };
  for (const Pair& p : differ) EXPECT_NE(Fingerprint(p.a), Fingerprint(p.b)) << p.a << "\n" << p.b;
}

TEST(Fingerprint, ReadsAsTheNormalisedStatement) {
  EXPECT_EQ(Fingerprint("SELECT Ename, \"Sal\" FROM Emp WHERE deptno IN (10,20) AND ename = 'X' "
                        "AND hired > :since -- c\n;"),
            "select ename, \"Sal\" from emp where deptno in (?+) and ename = ? and hired > :?");
  EXPECT_EQ(Fingerprint("insert into t values (1,2),(3,4)"), "insert into t values (?+)");
  EXPECT_EQ(Fingerprint("select x - 1, -2 from t"), "select x - ?, ? from t");
  // Unterminated strings and comments end the text rather than fail.
  EXPECT_EQ(Fingerprint("select 'abc"), "select ?");
  EXPECT_EQ(Fingerprint("select 1 /* open"), "select ?");
  EXPECT_EQ(Fingerprint(""), "");
  EXPECT_EQ(FingerprintHash("select ?").size(), 16u);
}

}  // namespace
}  // namespace qx::sql
