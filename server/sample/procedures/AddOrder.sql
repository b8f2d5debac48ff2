-- Records an order of an existing customer at the server's time.
-- Returns 1 when the order was recorded, 0 when the customer is unknown.
--! param @Id
--! param @CustomerId
--! param @Amount
if not exists (select 1 from Customers where Id = @CustomerId)
  return 0
insert into Orders (Id, CustomerId, OrderedAt, Amount) values (@Id, @CustomerId, getdate(), @Amount)
return 1
