-- The five transactions as functions on the server, for tpcc-run --procedures:
-- each transaction is one call, in one round trip, with the inputs and the
-- results of the plain statements tpcc-run sends otherwise, at the same READ
-- COMMITTED isolation.  New-Order, Payment and Delivery lock every row they
-- change before reading it (UPDATE, DELETE), and read besides only columns no
-- transaction changes; Order-Status and Stock-Level are STABLE, so every query
-- in them reads the one snapshot of the call.  A failure raises an error, and
-- the error rolls the whole call back: the server never keeps part of one.
--
-- Every write stamps its rows with the time the caller passes (o_entry_d,
-- h_date, ol_delivery_d), as the plain statements do, so that a commit whose
-- answer was lost can be found afterwards.
--
-- tpcc-load installs them with the tables; tpcc-run --procedures installs
-- them when they are missing and refuses to run over functions of these names
-- that differ.

-- New-Order: the district's next order number, the order and its lines, the
-- stock each line takes.  Lines run in the order of their stock rows (supply
-- warehouse, item, line number), so that two New-Orders lock shared rows in
-- the same order; a line's S_QUANTITY is the stock's once this line (and any
-- earlier line of the same item) has taken from it.  An item number that is
-- no item rolls it all back with SQLSTATE 22012, "Item number is not valid".
-- One row per line in input order: brand-generic, OL_AMOUNT, I_NAME, I_PRICE,
-- S_QUANTITY, then D_TAX, O_ID, W_TAX and C_DISCOUNT, the same in every row.
CREATE OR REPLACE FUNCTION tpcc_new_order(p_w integer, p_d integer, p_c integer,
    p_items integer[], p_suppliers integer[], p_quantities integer[], p_entry timestamp)
  RETURNS TABLE (brand_generic text, ol_amount numeric, i_name varchar, i_price numeric,
                 s_quantity integer, d_tax numeric, o_id integer, w_tax numeric,
                 c_discount numeric)
  LANGUAGE plpgsql AS $$
#variable_conflict use_column
DECLARE
  n integer := cardinality(p_items);
  v_d_tax numeric; v_o_id integer; v_w_tax numeric; v_discount numeric;
  brands text[] := array_fill(NULL::text, ARRAY[n]);
  amounts numeric[] := array_fill(NULL::numeric, ARRAY[n]);
  names varchar[];
  prices numeric[];
  data varchar[];
  known bigint;
  quantities integer[] := array_fill(NULL::integer, ARRAY[n]);
  dists char(24)[] := array_fill(NULL::char(24), ARRAY[n]);
  ln record;
  st record;
BEGIN
  UPDATE district SET d_next_o_id = d_next_o_id + 1 WHERE d_w_id = p_w AND d_id = p_d
    RETURNING district.d_tax, d_next_o_id - 1 INTO v_d_tax, v_o_id;
  IF NOT FOUND THEN
    RAISE EXCEPTION 'New-Order found no district' USING ERRCODE = 'P0002';
  END IF;
  SELECT warehouse.w_tax, customer.c_discount INTO v_w_tax, v_discount FROM warehouse, customer
    WHERE w_id = p_w AND c_w_id = p_w AND c_d_id = p_d AND c_id = p_c;
  IF NOT FOUND THEN
    RAISE EXCEPTION 'New-Order found no customer' USING ERRCODE = 'P0002';
  END IF;
  SELECT array_agg(item.i_name ORDER BY l.k), array_agg(item.i_price ORDER BY l.k),
         array_agg(item.i_data ORDER BY l.k), count(item.i_id)
    INTO names, prices, data, known
    FROM unnest(p_items) WITH ORDINALITY AS l(i, k) LEFT JOIN item ON i_id = l.i;
  IF known < n THEN
    RAISE EXCEPTION 'Item number is not valid' USING ERRCODE = '22012';
  END IF;
  INSERT INTO orders VALUES (v_o_id, p_d, p_w, p_c, p_entry, NULL, n,
    (SELECT bool_and(s = p_w) FROM unnest(p_suppliers) AS s)::integer);
  INSERT INTO new_order VALUES (v_o_id, p_d, p_w);
  FOR ln IN SELECT * FROM unnest(p_items, p_suppliers, p_quantities) WITH ORDINALITY
               AS l(i, sw, q, k) ORDER BY sw, i, k LOOP
    UPDATE stock SET s_quantity = CASE WHEN stock.s_quantity >= ln.q + 10
                                       THEN stock.s_quantity - ln.q
                                       ELSE stock.s_quantity - ln.q + 91 END,
                     s_ytd = s_ytd + ln.q, s_order_cnt = s_order_cnt + 1,
                     s_remote_cnt = s_remote_cnt + (ln.sw <> p_w)::integer
      WHERE s_w_id = ln.sw AND s_i_id = ln.i
      RETURNING stock.s_quantity, stock.s_data,
        CASE p_d WHEN 1 THEN s_dist_01 WHEN 2 THEN s_dist_02 WHEN 3 THEN s_dist_03
                 WHEN 4 THEN s_dist_04 WHEN 5 THEN s_dist_05 WHEN 6 THEN s_dist_06
                 WHEN 7 THEN s_dist_07 WHEN 8 THEN s_dist_08 WHEN 9 THEN s_dist_09
                 WHEN 10 THEN s_dist_10 END AS dist
      INTO st;
    IF NOT FOUND THEN
      RAISE EXCEPTION 'New-Order found no stock row' USING ERRCODE = 'P0002';
    END IF;
    brands[ln.k] := CASE WHEN data[ln.k] LIKE '%ORIGINAL%' AND st.s_data LIKE '%ORIGINAL%'
                         THEN 'B' ELSE 'G' END;
    amounts[ln.k] := ln.q * prices[ln.k];
    quantities[ln.k] := st.s_quantity;
    dists[ln.k] := st.dist;
  END LOOP;
  INSERT INTO order_line
    SELECT v_o_id, p_d, p_w, l.k, l.i, l.sw, NULL, l.q, l.amount, l.dist
    FROM unnest(p_items, p_suppliers, p_quantities, amounts, dists) WITH ORDINALITY
      AS l(i, sw, q, amount, dist, k);
  RETURN QUERY SELECT b, a, nm, pr, sq, v_d_tax, v_o_id, v_w_tax, v_discount
    FROM unnest(brands, amounts, names, prices, quantities) AS r(b, a, nm, pr, sq);
END
$$;

-- The customer Payment and Order-Status name by last name: of the n
-- customers of the district with that name, sorted by first name, the one at
-- position ceil(n/2); NULL when there are none.
CREATE OR REPLACE FUNCTION tpcc_customer_by_name(p_w integer, p_d integer, p_c_last text)
  RETURNS integer
  LANGUAGE plpgsql STABLE AS $$
DECLARE
  named integer;
BEGIN
  SELECT count(*) INTO named FROM customer
    WHERE c_w_id = p_w AND c_d_id = p_d AND c_last = p_c_last;
  IF named = 0 THEN
    RETURN NULL;
  END IF;
  RETURN (SELECT c_id FROM customer WHERE c_w_id = p_w AND c_d_id = p_d AND c_last = p_c_last
          ORDER BY c_first, c_id OFFSET (named + 1) / 2 - 1 LIMIT 1);
END
$$;

-- Payment: the customer by number, or by last name (tpcc_customer_by_name); then the warehouse, the district
-- and the customer, and the history row.  No customer, no payment.  One row:
-- C_ID, C_BALANCE, C_CREDIT, C_DATA's first 200 characters for a "BC"
-- customer, and the rest the terminal shows.
CREATE OR REPLACE FUNCTION tpcc_payment(p_w integer, p_d integer, p_c_w integer,
    p_c_d integer, p_amount numeric, p_c_id integer, p_c_last text, p_date timestamp)
  RETURNS TABLE (c_id integer, c_balance numeric, c_credit char(2), c_data text,
                 c_first varchar, c_middle char(2), c_last varchar, c_street_1 varchar,
                 c_street_2 varchar, c_city varchar, c_state char(2), c_zip char(9),
                 c_phone char(16), c_since timestamp, c_credit_lim numeric, c_discount numeric,
                 w_street_1 varchar, w_street_2 varchar, w_city varchar, w_state char(2),
                 w_zip char(9), d_street_1 varchar, d_street_2 varchar, d_city varchar,
                 d_state char(2), d_zip char(9))
  LANGUAGE plpgsql AS $$
#variable_conflict use_column
DECLARE
  id integer := coalesce(p_c_id, tpcc_customer_by_name(p_c_w, p_c_d, p_c_last));
  w record;
  d record;
  c record;
BEGIN
  UPDATE customer SET c_balance = customer.c_balance - p_amount,
    c_ytd_payment = c_ytd_payment + p_amount, c_payment_cnt = c_payment_cnt + 1,
    c_data = CASE WHEN customer.c_credit = 'BC' THEN left(concat_ws(' ', customer.c_id,
               c_d_id, c_w_id, p_d, p_w, p_amount) || ' ' || customer.c_data, 500)
             ELSE customer.c_data END
    WHERE c_w_id = p_c_w AND c_d_id = p_c_d AND customer.c_id = id
    RETURNING customer.* INTO c;
  IF NOT FOUND THEN
    RAISE EXCEPTION 'Payment found no customer' USING ERRCODE = 'P0002';
  END IF;
  -- The warehouse's row is every Payment's: it is locked last, for the least time.
  UPDATE district SET d_ytd = d_ytd + p_amount WHERE d_w_id = p_w AND d_id = p_d
    RETURNING district.* INTO d;
  IF NOT FOUND THEN
    RAISE EXCEPTION 'Payment found no district' USING ERRCODE = 'P0002';
  END IF;
  UPDATE warehouse SET w_ytd = w_ytd + p_amount WHERE w_id = p_w RETURNING warehouse.* INTO w;
  INSERT INTO history VALUES (c.c_id, p_c_d, p_c_w, p_d, p_w, p_date, p_amount,
                              w.w_name || '    ' || d.d_name);
  RETURN QUERY SELECT c.c_id, c.c_balance, c.c_credit,
    CASE WHEN c.c_credit = 'BC' THEN left(c.c_data, 200) ELSE '' END::text,
    c.c_first, c.c_middle, c.c_last, c.c_street_1, c.c_street_2, c.c_city, c.c_state, c.c_zip,
    c.c_phone, c.c_since, c.c_credit_lim, c.c_discount, w.w_street_1, w.w_street_2, w.w_city,
    w.w_state, w.w_zip, d.d_street_1, d.d_street_2, d.d_city, d.d_state, d.d_zip;
END
$$;

-- Order-Status: the customer (by number or by name, as Payment), the
-- customer's last order and its lines, all from one snapshot.  One row per
-- line: C_ID, C_BALANCE, O_ID, OL_I_ID, OL_SUPPLY_W_ID, OL_QUANTITY,
-- OL_AMOUNT, OL_DELIVERY_D, C_FIRST, C_MIDDLE, C_LAST, O_ENTRY_D,
-- O_CARRIER_ID; one row with the order's and lines' columns NULL for a
-- customer without orders, none for no customer.
CREATE OR REPLACE FUNCTION tpcc_order_status(p_w integer, p_d integer, p_c_id integer,
    p_c_last text)
  RETURNS TABLE (c_id integer, c_balance numeric, o_id integer, ol_i_id integer,
                 ol_supply_w_id integer, ol_quantity numeric, ol_amount numeric,
                 ol_delivery_d timestamp, c_first varchar, c_middle char(2), c_last varchar,
                 o_entry_d timestamp, o_carrier_id integer)
  LANGUAGE plpgsql STABLE AS $$
#variable_conflict use_column
DECLARE
  id integer := coalesce(p_c_id, tpcc_customer_by_name(p_w, p_d, p_c_last));
  c record;
  o record;
BEGIN
  SELECT customer.c_id, customer.c_balance, customer.c_first, customer.c_middle,
         customer.c_last INTO c
    FROM customer WHERE c_w_id = p_w AND c_d_id = p_d AND customer.c_id = id;
  IF NOT FOUND THEN
    RETURN;
  END IF;
  SELECT orders.o_id, orders.o_entry_d, orders.o_carrier_id INTO o FROM orders
    WHERE o_w_id = p_w AND o_d_id = p_d AND o_c_id = id ORDER BY orders.o_id DESC LIMIT 1;
  RETURN QUERY SELECT c.c_id, c.c_balance, o.o_id, l.ol_i_id, l.ol_supply_w_id, l.ol_quantity,
      l.ol_amount, l.ol_delivery_d, c.c_first, c.c_middle, c.c_last, o.o_entry_d,
      o.o_carrier_id
    FROM (SELECT 1) AS one LEFT JOIN order_line AS l
      ON l.ol_w_id = p_w AND l.ol_d_id = p_d AND l.ol_o_id = o.o_id
    ORDER BY l.ol_number;
END
$$;

-- Delivery: in each district the oldest undelivered order, if there is one:
-- its NEW-ORDER row goes, it gets the carrier, its lines the delivery time,
-- and its customer their sum and one more delivery.  One row per district
-- delivered: D_ID and O_ID.
CREATE OR REPLACE FUNCTION tpcc_delivery(p_w integer, p_carrier integer, p_when timestamp)
  RETURNS TABLE (d_id integer, o_id integer)
  LANGUAGE plpgsql AS $$
#variable_conflict use_column
DECLARE
  customer_id integer;
  total numeric;
BEGIN
  FOR k IN 1 .. 10 LOOP
    DELETE FROM new_order WHERE no_w_id = p_w AND no_d_id = k
      AND no_o_id = (SELECT min(no_o_id) FROM new_order WHERE no_w_id = p_w AND no_d_id = k)
      RETURNING no_o_id INTO o_id;
    CONTINUE WHEN NOT FOUND;
    UPDATE orders SET o_carrier_id = p_carrier
      WHERE o_w_id = p_w AND o_d_id = k AND orders.o_id = tpcc_delivery.o_id
      RETURNING o_c_id INTO customer_id;
    WITH l AS (UPDATE order_line SET ol_delivery_d = p_when
                 WHERE ol_w_id = p_w AND ol_d_id = k AND ol_o_id = tpcc_delivery.o_id
                 RETURNING order_line.ol_amount)
      SELECT sum(l.ol_amount) INTO total FROM l;
    UPDATE customer SET c_balance = c_balance + total, c_delivery_cnt = c_delivery_cnt + 1
      WHERE c_w_id = p_w AND c_d_id = k AND c_id = customer_id;
    d_id := k;
    RETURN NEXT;
  END LOOP;
END
$$;

-- Stock-Level: the distinct items below the threshold among the lines of the
-- district's last twenty orders.
-- (PL/pgSQL keeps the query's plan from call to call, where an SQL function
-- would plan it again at every call.)
CREATE OR REPLACE FUNCTION tpcc_stock_level(p_w integer, p_d integer, p_threshold integer)
  RETURNS bigint
  LANGUAGE plpgsql STABLE AS $$
BEGIN
  RETURN (SELECT count(DISTINCT s_i_id) FROM district
            JOIN order_line ON ol_w_id = d_w_id AND ol_d_id = d_id
              AND ol_o_id >= d_next_o_id - 20 AND ol_o_id < d_next_o_id
            JOIN stock ON s_w_id = ol_w_id AND s_i_id = ol_i_id
          WHERE d_w_id = p_w AND d_id = p_d AND s_quantity < p_threshold);
END
$$;
