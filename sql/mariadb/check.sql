-- The twelve consistency conditions of a freshly loaded database, each with
-- the number of its violations: every count is 0 on a sound load.
-- Conditions 1 to 4 must hold after any run as well.  NOT (a <=> b) is
-- "a differs from b", NULL differing from any number.

-- Split materialization would compute the per-order sums of ORDER-LINE again
-- for every customer: hours on one warehouse instead of a second.
SET SESSION optimizer_switch = 'split_materialized=off';

WITH
  district_orders AS (
    SELECT o_w_id AS w, o_d_id AS d, max(o_id) AS max_o, count(*) AS n, sum(o_ol_cnt) AS line_n
    FROM orders GROUP BY o_w_id, o_d_id),
  district_new AS (
    SELECT no_w_id AS w, no_d_id AS d, max(no_o_id) AS max_no, min(no_o_id) AS min_no,
           count(*) AS n
    FROM new_order GROUP BY no_w_id, no_d_id),
  district_lines AS (
    SELECT ol_w_id AS w, ol_d_id AS d, count(*) AS n FROM order_line GROUP BY ol_w_id, ol_d_id),
  order_lines AS (
    SELECT ol_w_id AS w, ol_d_id AS d, ol_o_id AS o, count(*) AS n,
           count(ol_delivery_d) AS delivered,
           sum(CASE WHEN ol_delivery_d IS NOT NULL THEN ol_amount ELSE 0 END) AS amount
    FROM order_line GROUP BY ol_w_id, ol_d_id, ol_o_id),
  district_history AS (
    SELECT h_w_id AS w, h_d_id AS d, sum(h_amount) AS amount FROM history GROUP BY h_w_id, h_d_id),
  customer_history AS (
    SELECT h_c_w_id AS w, h_c_d_id AS d, h_c_id AS c, sum(h_amount) AS amount
    FROM history GROUP BY h_c_w_id, h_c_d_id, h_c_id),
  customer_delivered AS (
    SELECT o_w_id AS w, o_d_id AS d, o_c_id AS c, sum(l.amount) AS amount
    FROM orders JOIN order_lines l ON l.w = o_w_id AND l.d = o_d_id AND l.o = o_id
    GROUP BY o_w_id, o_d_id, o_c_id),
  districts_with_orders AS (
    SELECT w, d FROM district_orders UNION SELECT w, d FROM district_lines)
SELECT 1 AS number, 'W_YTD = sum(D_YTD)' AS rule, count(*) AS violations
  FROM warehouse
  WHERE NOT (w_ytd <=> (SELECT sum(d_ytd) FROM district WHERE d_w_id = w_id))
UNION ALL
SELECT 2, 'D_NEXT_O_ID - 1 = max(O_ID) = max(NO_O_ID)', count(*)
  FROM district
  LEFT JOIN district_orders o ON o.w = d_w_id AND o.d = d_id
  LEFT JOIN district_new n ON n.w = d_w_id AND n.d = d_id
  WHERE NOT (d_next_o_id - 1 <=> o.max_o) OR NOT (d_next_o_id - 1 <=> n.max_no)
UNION ALL
SELECT 3, 'max(NO_O_ID) - min(NO_O_ID) + 1 = NEW-ORDER rows', count(*)
  FROM district_new WHERE max_no - min_no + 1 <> n
UNION ALL
SELECT 4, 'sum(O_OL_CNT) = ORDER-LINE rows', count(*)
  FROM districts_with_orders k
  LEFT JOIN district_orders o ON o.w = k.w AND o.d = k.d
  LEFT JOIN district_lines l ON l.w = k.w AND l.d = k.d
  WHERE NOT (o.line_n <=> l.n)
UNION ALL
SELECT 5, 'O_CARRIER_ID NULL iff a NEW-ORDER row', count(*)
  FROM orders
  WHERE (o_carrier_id IS NULL) <> EXISTS (
    SELECT 1 FROM new_order WHERE no_w_id = o_w_id AND no_d_id = o_d_id AND no_o_id = o_id)
UNION ALL
SELECT 6, 'O_OL_CNT = its ORDER-LINE rows', count(*)
  FROM orders LEFT JOIN order_lines l ON l.w = o_w_id AND l.d = o_d_id AND l.o = o_id
  WHERE NOT (o_ol_cnt <=> l.n)
UNION ALL
SELECT 7, 'OL_DELIVERY_D NULL iff O_CARRIER_ID NULL', count(*)
  FROM orders JOIN order_lines l ON l.w = o_w_id AND l.d = o_d_id AND l.o = o_id
  WHERE l.delivered <> CASE WHEN o_carrier_id IS NULL THEN 0 ELSE l.n END
UNION ALL
SELECT 8, 'W_YTD = sum(H_AMOUNT)', count(*)
  FROM warehouse
  WHERE NOT (w_ytd <=> (SELECT sum(amount) FROM district_history WHERE w = w_id))
UNION ALL
SELECT 9, 'D_YTD = sum(H_AMOUNT)', count(*)
  FROM district LEFT JOIN district_history h ON h.w = d_w_id AND h.d = d_id
  WHERE NOT (d_ytd <=> h.amount)
UNION ALL
SELECT 10, 'C_BALANCE = sum(delivered OL_AMOUNT) - sum(H_AMOUNT)', count(*)
  FROM customer
  LEFT JOIN customer_delivered o ON o.w = c_w_id AND o.d = c_d_id AND o.c = c_id
  LEFT JOIN customer_history h ON h.w = c_w_id AND h.d = c_d_id AND h.c = c_id
  WHERE c_balance <> coalesce(o.amount, 0) - coalesce(h.amount, 0)
UNION ALL
SELECT 11, 'ORDER rows - NEW-ORDER rows = 2100', count(*)
  FROM district
  LEFT JOIN district_orders o ON o.w = d_w_id AND o.d = d_id
  LEFT JOIN district_new n ON n.w = d_w_id AND n.d = d_id
  WHERE coalesce(o.n, 0) - coalesce(n.n, 0) <> 2100
UNION ALL
SELECT 12, 'C_BALANCE + C_YTD_PAYMENT = sum(delivered OL_AMOUNT)', count(*)
  FROM customer LEFT JOIN customer_delivered o ON o.w = c_w_id AND o.d = c_d_id AND o.c = c_id
  WHERE c_balance + c_ytd_payment <> coalesce(o.amount, 0)
ORDER BY 1;
