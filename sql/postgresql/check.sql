-- The twelve consistency conditions of a freshly loaded database, each with
-- the number of its violations: every count is 0 on a sound load.
-- Conditions 1 to 4 must hold after any run as well.

WITH
  district_orders AS (
    SELECT o_w_id AS w, o_d_id AS d, max(o_id) AS max_o, count(*) AS n, sum(o_ol_cnt) AS lines
    FROM orders GROUP BY 1, 2),
  district_new AS (
    SELECT no_w_id AS w, no_d_id AS d, max(no_o_id) AS max_no, min(no_o_id) AS min_no,
           count(*) AS n
    FROM new_order GROUP BY 1, 2),
  district_lines AS (
    SELECT ol_w_id AS w, ol_d_id AS d, count(*) AS n FROM order_line GROUP BY 1, 2),
  order_lines AS (
    SELECT ol_w_id AS w, ol_d_id AS d, ol_o_id AS o, count(*) AS n,
           count(ol_delivery_d) AS delivered,
           coalesce(sum(ol_amount) FILTER (WHERE ol_delivery_d IS NOT NULL), 0) AS amount
    FROM order_line GROUP BY 1, 2, 3),
  district_history AS (
    SELECT h_w_id AS w, h_d_id AS d, sum(h_amount) AS amount FROM history GROUP BY 1, 2),
  customer_history AS (
    SELECT h_c_w_id AS w, h_c_d_id AS d, h_c_id AS c, sum(h_amount) AS amount
    FROM history GROUP BY 1, 2, 3),
  customer_delivered AS (
    SELECT o_w_id AS w, o_d_id AS d, o_c_id AS c, sum(l.amount) AS amount
    FROM orders JOIN order_lines l ON (l.w, l.d, l.o) = (o_w_id, o_d_id, o_id)
    GROUP BY 1, 2, 3)
SELECT 1 AS condition, 'W_YTD = sum(D_YTD)' AS rule, count(*) AS violations
  FROM warehouse
  WHERE w_ytd IS DISTINCT FROM (SELECT sum(d_ytd) FROM district WHERE d_w_id = w_id)
UNION ALL
SELECT 2, 'D_NEXT_O_ID - 1 = max(O_ID) = max(NO_O_ID)', count(*)
  FROM district
  LEFT JOIN district_orders o ON (o.w, o.d) = (d_w_id, d_id)
  LEFT JOIN district_new n ON (n.w, n.d) = (d_w_id, d_id)
  WHERE d_next_o_id - 1 IS DISTINCT FROM o.max_o OR d_next_o_id - 1 IS DISTINCT FROM n.max_no
UNION ALL
SELECT 3, 'max(NO_O_ID) - min(NO_O_ID) + 1 = NEW-ORDER rows', count(*)
  FROM district_new WHERE max_no - min_no + 1 <> n
UNION ALL
SELECT 4, 'sum(O_OL_CNT) = ORDER-LINE rows', count(*)
  FROM district_orders o FULL JOIN district_lines l ON (l.w, l.d) = (o.w, o.d)
  WHERE o.lines IS DISTINCT FROM l.n
UNION ALL
SELECT 5, 'O_CARRIER_ID NULL iff a NEW-ORDER row', count(*)
  FROM orders
  WHERE (o_carrier_id IS NULL) <> EXISTS (
    SELECT 1 FROM new_order WHERE (no_w_id, no_d_id, no_o_id) = (o_w_id, o_d_id, o_id))
UNION ALL
SELECT 6, 'O_OL_CNT = its ORDER-LINE rows', count(*)
  FROM orders LEFT JOIN order_lines l ON (l.w, l.d, l.o) = (o_w_id, o_d_id, o_id)
  WHERE o_ol_cnt IS DISTINCT FROM l.n
UNION ALL
SELECT 7, 'OL_DELIVERY_D NULL iff O_CARRIER_ID NULL', count(*)
  FROM orders JOIN order_lines l ON (l.w, l.d, l.o) = (o_w_id, o_d_id, o_id)
  WHERE l.delivered <> CASE WHEN o_carrier_id IS NULL THEN 0 ELSE l.n END
UNION ALL
SELECT 8, 'W_YTD = sum(H_AMOUNT)', count(*)
  FROM warehouse
  WHERE w_ytd IS DISTINCT FROM (SELECT sum(amount) FROM district_history WHERE w = w_id)
UNION ALL
SELECT 9, 'D_YTD = sum(H_AMOUNT)', count(*)
  FROM district LEFT JOIN district_history h ON (h.w, h.d) = (d_w_id, d_id)
  WHERE d_ytd IS DISTINCT FROM h.amount
UNION ALL
SELECT 10, 'C_BALANCE = sum(delivered OL_AMOUNT) - sum(H_AMOUNT)', count(*)
  FROM customer
  LEFT JOIN customer_delivered o ON (o.w, o.d, o.c) = (c_w_id, c_d_id, c_id)
  LEFT JOIN customer_history h ON (h.w, h.d, h.c) = (c_w_id, c_d_id, c_id)
  WHERE c_balance <> coalesce(o.amount, 0) - coalesce(h.amount, 0)
UNION ALL
SELECT 11, 'ORDER rows - NEW-ORDER rows = 2100', count(*)
  FROM district
  LEFT JOIN district_orders o ON (o.w, o.d) = (d_w_id, d_id)
  LEFT JOIN district_new n ON (n.w, n.d) = (d_w_id, d_id)
  WHERE coalesce(o.n, 0) - coalesce(n.n, 0) <> 2100
UNION ALL
SELECT 12, 'C_BALANCE + C_YTD_PAYMENT = sum(delivered OL_AMOUNT)', count(*)
  FROM customer LEFT JOIN customer_delivered o ON (o.w, o.d, o.c) = (c_w_id, c_d_id, c_id)
  WHERE c_balance + c_ytd_payment <> coalesce(o.amount, 0)
ORDER BY 1;
