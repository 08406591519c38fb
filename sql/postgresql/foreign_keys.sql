-- The foreign keys of the standard, added after keys.sql: the database then
-- proves every reference of the load whole, and checks the reference of
-- every row a transaction writes from then on.  That check is a query per
-- row written (some 25 for a New-Order), a fifth of the server's time in a
-- throughput run: tpcc-load --no-foreign-keys leaves them out.

ALTER TABLE district   ADD FOREIGN KEY (d_w_id) REFERENCES warehouse;
ALTER TABLE customer   ADD FOREIGN KEY (c_w_id, c_d_id) REFERENCES district;
ALTER TABLE history    ADD FOREIGN KEY (h_c_w_id, h_c_d_id, h_c_id) REFERENCES customer;
ALTER TABLE history    ADD FOREIGN KEY (h_w_id, h_d_id) REFERENCES district;
ALTER TABLE orders     ADD FOREIGN KEY (o_w_id, o_d_id, o_c_id) REFERENCES customer;
ALTER TABLE new_order  ADD FOREIGN KEY (no_w_id, no_d_id, no_o_id) REFERENCES orders;
ALTER TABLE order_line ADD FOREIGN KEY (ol_w_id, ol_d_id, ol_o_id) REFERENCES orders;
ALTER TABLE order_line ADD FOREIGN KEY (ol_supply_w_id, ol_i_id) REFERENCES stock;
ALTER TABLE stock      ADD FOREIGN KEY (s_w_id) REFERENCES warehouse;
ALTER TABLE stock      ADD FOREIGN KEY (s_i_id) REFERENCES item;
