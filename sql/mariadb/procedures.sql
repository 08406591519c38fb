-- The five transactions as stored procedures on the server, for tpcc-run
-- --procedures: each transaction is one CALL, in one round trip, with the
-- inputs and the results of the statements tpcc-run sends otherwise, at the
-- same READ COMMITTED isolation.  New-Order, Payment and Delivery lock every
-- row they change before they read it (SELECT ... FOR UPDATE, UPDATE, DELETE),
-- and read besides only columns no transaction changes; Order-Status and
-- Stock-Level are one statement each.  A failure rolls the whole call back
-- and raises the error again: the server never keeps part of one.
--
-- Every write stamps its rows with the time the caller passes (o_entry_d,
-- h_date, ol_delivery_d), as the plain statements do, so that a commit whose
-- answer was lost can be found afterwards.
--
-- Each procedure's COMMENT names its text's digest; tpcc-run installs those
-- missing and refuses to run over procedures of these names with another.
-- Lists are comma-separated numbers; a result's lines are separated by
-- CHAR(30) and their fields by CHAR(31).

DELIMITER //

-- New-Order.  The caller gives the lines sorted by their stock rows (supply
-- warehouse, item, line number), so that two New-Orders lock shared rows in
-- the same order; a line's S_QUANTITY is the stock's once this line (and any
-- earlier line of the same item) has taken from it.  An item number that is
-- no item rolls it all back: O_ID 0.  One row: O_ID, D_TAX, W_TAX,
-- C_DISCOUNT, per line its number, brand-generic, OL_AMOUNT, I_NAME, I_PRICE
-- and S_QUANTITY, then C_LAST and C_CREDIT.
CREATE PROCEDURE tpcc_new_order(p_w INT, p_d INT, p_c INT, p_numbers VARCHAR(64),
    p_items VARCHAR(128), p_suppliers VARCHAR(128), p_quantities VARCHAR(64),
    p_all_local INT, p_entry DATETIME(6))
  MODIFIES SQL DATA
BEGIN
  DECLARE v_o, v_n, v_count, v_line, v_i, v_sw, v_q, v_s_quantity INT;
  DECLARE v_d_tax, v_w_tax, v_discount DECIMAL(4,4);
  DECLARE v_price DECIMAL(5,2);
  DECLARE v_name VARCHAR(24);
  DECLARE v_last VARCHAR(16);
  DECLARE v_credit CHAR(2);
  DECLARE v_i_data, v_s_data VARCHAR(50);
  DECLARE v_dist CHAR(24);
  DECLARE v_lines TEXT DEFAULT '';
  DECLARE EXIT HANDLER FOR SQLEXCEPTION BEGIN ROLLBACK; RESIGNAL; END;
  SET v_count = LENGTH(p_items) - LENGTH(REPLACE(p_items, ',', '')) + 1;
  START TRANSACTION;
  SELECT d_tax, d_next_o_id INTO v_d_tax, v_o FROM district
    WHERE d_w_id = p_w AND d_id = p_d FOR UPDATE;
  IF v_o IS NULL THEN
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'New-Order found no district';
  END IF;
  UPDATE district SET d_next_o_id = d_next_o_id + 1 WHERE d_w_id = p_w AND d_id = p_d;
  SELECT w_tax, c_discount, c_last, c_credit INTO v_w_tax, v_discount, v_last, v_credit
    FROM warehouse, customer
    WHERE w_id = p_w AND c_w_id = p_w AND c_d_id = p_d AND c_id = p_c;
  IF v_discount IS NULL THEN
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'New-Order found no customer';
  END IF;
  INSERT INTO orders VALUES (v_o, p_d, p_w, p_c, p_entry, NULL, v_count, p_all_local);
  INSERT INTO new_order VALUES (v_o, p_d, p_w);
  SET v_n = 1;
  each_line: WHILE v_n <= v_count DO
    SET v_line = SUBSTRING_INDEX(SUBSTRING_INDEX(p_numbers, ',', v_n), ',', -1);
    SET v_i = SUBSTRING_INDEX(SUBSTRING_INDEX(p_items, ',', v_n), ',', -1);
    SET v_sw = SUBSTRING_INDEX(SUBSTRING_INDEX(p_suppliers, ',', v_n), ',', -1);
    SET v_q = SUBSTRING_INDEX(SUBSTRING_INDEX(p_quantities, ',', v_n), ',', -1);
    SET v_price = NULL;
    SELECT i_price, i_name, i_data INTO v_price, v_name, v_i_data FROM item WHERE i_id = v_i;
    IF v_price IS NULL THEN -- "Item number is not valid"
      ROLLBACK;
      SELECT 0, v_d_tax, v_w_tax, v_discount, '', v_last, v_credit;
      LEAVE each_line;
    END IF;
    SELECT s_quantity, s_data, CASE p_d WHEN 1 THEN s_dist_01 WHEN 2 THEN s_dist_02
        WHEN 3 THEN s_dist_03 WHEN 4 THEN s_dist_04 WHEN 5 THEN s_dist_05 WHEN 6 THEN s_dist_06
        WHEN 7 THEN s_dist_07 WHEN 8 THEN s_dist_08 WHEN 9 THEN s_dist_09 ELSE s_dist_10 END
      INTO v_s_quantity, v_s_data, v_dist FROM stock
      WHERE s_w_id = v_sw AND s_i_id = v_i FOR UPDATE;
    SET v_s_quantity = IF(v_s_quantity >= v_q + 10, v_s_quantity - v_q, v_s_quantity - v_q + 91);
    UPDATE stock SET s_quantity = v_s_quantity, s_ytd = s_ytd + v_q,
      s_order_cnt = s_order_cnt + 1, s_remote_cnt = s_remote_cnt + (v_sw <> p_w)
      WHERE s_w_id = v_sw AND s_i_id = v_i;
    INSERT INTO order_line VALUES (v_o, p_d, p_w, v_line, v_i, v_sw, NULL, v_q,
      v_q * v_price, v_dist);
    SET v_lines = CONCAT(v_lines, IF(v_n > 1, CHAR(30), ''), v_line, CHAR(31),
      IF(v_i_data LIKE '%ORIGINAL%' AND v_s_data LIKE '%ORIGINAL%', 'B', 'G'), CHAR(31),
      v_q * v_price, CHAR(31), v_name, CHAR(31), v_price, CHAR(31), v_s_quantity);
    SET v_n = v_n + 1;
  END WHILE;
  IF v_n > v_count THEN
    COMMIT;
    SELECT v_o, v_d_tax, v_w_tax, v_discount, v_lines, v_last, v_credit;
  END IF;
END //

-- Payment, of the customer by number (p_c) or by last name (p_last: the one at
-- position ceil(n/2) of the n with that name, by first name).  No customer, no
-- payment: SQLSTATE 45000.  One row: C_ID, C_BALANCE, C_CREDIT and, for "BC",
-- C_DATA's first 200 characters, then what else the terminal shows of the
-- customer, the warehouse and the district, joined by CHAR(31) in one column.
CREATE PROCEDURE tpcc_payment(p_w INT, p_d INT, p_c_w INT, p_c_d INT, p_amount DECIMAL(6,2),
    p_c INT, p_last VARCHAR(16), p_date DATETIME(6))
  MODIFIES SQL DATA
BEGIN
  DECLARE v_c INT;
  DECLARE v_balance DECIMAL(20,2);
  DECLARE v_credit CHAR(2);
  DECLARE v_data VARCHAR(200);
  DECLARE v_shown TEXT;
  DECLARE EXIT HANDLER FOR SQLEXCEPTION BEGIN ROLLBACK; RESIGNAL; END;
  IF p_last IS NULL THEN
    SELECT c_id INTO v_c FROM customer WHERE c_w_id = p_c_w AND c_d_id = p_c_d AND c_id = p_c;
  ELSE
    SELECT c_id INTO v_c FROM (SELECT c_id, row_number() OVER (ORDER BY c_first, c_id) AS k,
        count(*) OVER () AS n FROM customer
        WHERE c_w_id = p_c_w AND c_d_id = p_c_d AND c_last = p_last) AS named
      WHERE k = (n + 1) DIV 2;
  END IF;
  IF v_c IS NULL THEN
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'Payment found no customer';
  END IF;
  START TRANSACTION;
  UPDATE warehouse SET w_ytd = w_ytd + p_amount WHERE w_id = p_w;
  UPDATE district SET d_ytd = d_ytd + p_amount WHERE d_w_id = p_w AND d_id = p_d;
  UPDATE customer SET c_balance = c_balance - p_amount,
    c_ytd_payment = c_ytd_payment + p_amount, c_payment_cnt = c_payment_cnt + 1,
    c_data = IF(c_credit = 'BC', LEFT(CONCAT_WS(' ', c_id, c_d_id, c_w_id, p_d, p_w, p_amount,
      c_data), 500), c_data)
    WHERE c_w_id = p_c_w AND c_d_id = p_c_d AND c_id = v_c;
  INSERT INTO history SELECT v_c, p_c_d, p_c_w, p_d, p_w, p_date, p_amount,
    CONCAT(w_name, '    ', d_name) FROM warehouse, district
    WHERE w_id = p_w AND d_w_id = p_w AND d_id = p_d;
  -- What the terminal shows is read inside the transaction, from the rows it has just
  -- changed, and sent only once it has committed.
  SELECT c_balance, c_credit, IF(c_credit = 'BC', LEFT(c_data, 200), ''),
      CONCAT_WS(CHAR(31), c_first, c_middle, c_last, c_street_1, c_street_2, c_city, c_state,
        c_zip, c_phone, c_since, c_credit_lim, c_discount, w_name, w_street_1, w_street_2,
        w_city, w_state, w_zip, d_name, d_street_1, d_street_2, d_city, d_state, d_zip)
    INTO v_balance, v_credit, v_data, v_shown
    FROM customer, warehouse, district WHERE c_w_id = p_c_w AND c_d_id = p_c_d AND c_id = v_c
      AND w_id = p_w AND d_w_id = p_w AND d_id = p_d;
  COMMIT;
  SELECT v_c, v_balance, v_credit, v_data, v_shown;
END //

-- Order-Status: the customer (as Payment picks one) and the lines of their
-- last order, in one statement once the customer is known.  Rows: C_ID, C_BALANCE, O_ID, OL_I_ID (NULL
-- without an order) and the rest of each line.
CREATE PROCEDURE tpcc_order_status(p_w INT, p_d INT, p_c INT, p_last VARCHAR(16))
  READS SQL DATA
BEGIN
  DECLARE v_c INT DEFAULT p_c;
  IF p_last IS NOT NULL THEN
    SELECT c_id INTO v_c FROM (SELECT c_id, row_number() OVER (ORDER BY c_first, c_id) AS k,
        count(*) OVER () AS n FROM customer
        WHERE c_w_id = p_w AND c_d_id = p_d AND c_last = p_last) AS named
      WHERE k = (n + 1) DIV 2;
  END IF;
  WITH c AS (SELECT c_id, c_balance, c_first, c_middle, c_last FROM customer
      WHERE c_w_id = p_w AND c_d_id = p_d AND c_id = v_c),
    o AS (SELECT o_id, o_entry_d, o_carrier_id FROM orders, c
      WHERE o_w_id = p_w AND o_d_id = p_d AND o_c_id = c.c_id ORDER BY o_id DESC LIMIT 1)
  SELECT c.c_id, c.c_balance, o.o_id, ol_i_id, ol_supply_w_id, ol_quantity, ol_amount,
    ol_delivery_d, c.c_first, c.c_middle, c.c_last, o.o_entry_d, o.o_carrier_id
    FROM c LEFT JOIN o ON 1 LEFT JOIN order_line
      ON ol_w_id = p_w AND ol_d_id = p_d AND ol_o_id = o.o_id
    ORDER BY ol_number;
END //

-- Delivery: per district its oldest new order taken, the order given the
-- carrier, its lines the delivery time, its customer the lines' sum; one
-- transaction.  One row: the order delivered in each district, NULL where
-- there was none.
CREATE PROCEDURE tpcc_delivery(p_w INT, p_carrier INT, p_date DATETIME(6))
  MODIFIES SQL DATA
BEGIN
  DECLARE v_d INT DEFAULT 1;
  DECLARE v_o, v_c INT;
  DECLARE v_delivered VARCHAR(128) DEFAULT '';
  DECLARE EXIT HANDLER FOR SQLEXCEPTION BEGIN ROLLBACK; RESIGNAL; END;
  START TRANSACTION;
  WHILE v_d <= 10 DO
    SET v_o = NULL, v_c = NULL;
    SELECT no_o_id INTO v_o FROM new_order WHERE no_w_id = p_w AND no_d_id = v_d
      ORDER BY no_o_id LIMIT 1 FOR UPDATE;
    IF v_o IS NOT NULL THEN
      DELETE FROM new_order WHERE no_w_id = p_w AND no_d_id = v_d AND no_o_id = v_o;
      UPDATE orders SET o_carrier_id = p_carrier
        WHERE o_w_id = p_w AND o_d_id = v_d AND o_id = v_o;
      SELECT o_c_id INTO v_c FROM orders WHERE o_w_id = p_w AND o_d_id = v_d AND o_id = v_o;
      UPDATE order_line SET ol_delivery_d = p_date
        WHERE ol_w_id = p_w AND ol_d_id = v_d AND ol_o_id = v_o;
      UPDATE customer SET c_balance = c_balance + (SELECT sum(ol_amount) FROM order_line
          WHERE ol_w_id = p_w AND ol_d_id = v_d AND ol_o_id = v_o),
        c_delivery_cnt = c_delivery_cnt + 1
        WHERE c_w_id = p_w AND c_d_id = v_d AND c_id = v_c;
    END IF;
    SET v_delivered = CONCAT(v_delivered, IF(v_d > 1, ',', ''), IFNULL(v_o, 0));
    SET v_d = v_d + 1;
  END WHILE;
  COMMIT;
  SELECT v_delivered;
END //

-- Stock-Level: the distinct items of the district's last 20 orders whose
-- stock is below the threshold, one statement.
CREATE PROCEDURE tpcc_stock_level(p_w INT, p_d INT, p_threshold INT)
  READS SQL DATA
BEGIN
  SELECT count(DISTINCT s_i_id) FROM district
    JOIN order_line ON ol_w_id = d_w_id AND ol_d_id = d_id
      AND ol_o_id >= d_next_o_id - 20 AND ol_o_id < d_next_o_id
    JOIN stock ON s_w_id = ol_w_id AND s_i_id = ol_i_id
    WHERE d_w_id = p_w AND d_id = p_d AND s_quantity < p_threshold;
END //

DELIMITER ;
