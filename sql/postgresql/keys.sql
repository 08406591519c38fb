-- The primary keys of the standard and the two secondary indexes drivers
-- need, added after the load: the database itself then proves every key
-- unique.  foreign_keys.sql adds the references.

ALTER TABLE warehouse  ADD PRIMARY KEY (w_id);
ALTER TABLE district   ADD PRIMARY KEY (d_w_id, d_id);
ALTER TABLE customer   ADD PRIMARY KEY (c_w_id, c_d_id, c_id);
ALTER TABLE orders     ADD PRIMARY KEY (o_w_id, o_d_id, o_id);
ALTER TABLE new_order  ADD PRIMARY KEY (no_w_id, no_d_id, no_o_id);
ALTER TABLE order_line ADD PRIMARY KEY (ol_w_id, ol_d_id, ol_o_id, ol_number);
ALTER TABLE item       ADD PRIMARY KEY (i_id);
ALTER TABLE stock      ADD PRIMARY KEY (s_w_id, s_i_id);

-- Payment and Order-Status find a customer by last name; Order-Status finds
-- the customer's last order.
CREATE INDEX customer_by_name ON customer (c_w_id, c_d_id, c_last, c_first);
CREATE INDEX orders_by_customer ON orders (o_w_id, o_d_id, o_c_id, o_id);
