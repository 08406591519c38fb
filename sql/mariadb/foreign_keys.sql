-- The foreign keys of the standard, added after keys.sql: InnoDB then proves
-- every reference of the load whole, and checks the reference of every row a
-- transaction writes from then on.  tpcc-load --no-foreign-keys leaves them
-- out.  InnoDB needs an index on each referencing set of columns: the
-- primary keys' leading columns serve, and it adds the few that are missing.

ALTER TABLE district   ADD FOREIGN KEY (d_w_id) REFERENCES warehouse (w_id);
ALTER TABLE customer   ADD FOREIGN KEY (c_w_id, c_d_id) REFERENCES district (d_w_id, d_id);
ALTER TABLE history    ADD FOREIGN KEY (h_c_w_id, h_c_d_id, h_c_id)
  REFERENCES customer (c_w_id, c_d_id, c_id);
ALTER TABLE history    ADD FOREIGN KEY (h_w_id, h_d_id) REFERENCES district (d_w_id, d_id);
ALTER TABLE orders     ADD FOREIGN KEY (o_w_id, o_d_id, o_c_id)
  REFERENCES customer (c_w_id, c_d_id, c_id);
ALTER TABLE new_order  ADD FOREIGN KEY (no_w_id, no_d_id, no_o_id)
  REFERENCES orders (o_w_id, o_d_id, o_id);
ALTER TABLE order_line ADD FOREIGN KEY (ol_w_id, ol_d_id, ol_o_id)
  REFERENCES orders (o_w_id, o_d_id, o_id);
ALTER TABLE order_line ADD FOREIGN KEY (ol_supply_w_id, ol_i_id) REFERENCES stock (s_w_id, s_i_id);
ALTER TABLE stock      ADD FOREIGN KEY (s_w_id) REFERENCES warehouse (w_id);
ALTER TABLE stock      ADD FOREIGN KEY (s_i_id) REFERENCES item (i_id);
