-- Adds a customer; @Total receives the number of customers afterwards.
-- Returns 1 when the customer was added, 0 when the id is taken.
--! param @Id
--! param @Name
--! param @City = NULL
--! param @Credit = 0
--! output @Total
if exists (select 1 from Customers where Id = @Id)
begin
  set @Total = (select count(*) from Customers)
  return 0
end
insert into Customers (Id, Name, City, Credit) values (@Id, @Name, @City, @Credit)
set @Total = (select count(*) from Customers)
return 1
