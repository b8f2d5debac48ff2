-- Sample schema for the demo and the tests. Runs on SQLite and on PostgreSQL, and may be run
-- again on a database that has it already (nothing is created or inserted twice).

-- The common-functions tables of the Personal plug-in.
create table if not exists bUserCommon (
  UserID varchar(20) not null,
  GroupType varchar(50) not null,
  MenuIdList varchar(1000),
  GroupOrderBy int,
  CreateDatetime timestamp,
  CreateOperator varchar(20)
);
create table if not exists bUserGroupCommon (
  UserGroup varchar(50) not null,
  GroupType varchar(50) not null,
  MenuIdList varchar(1000),
  GroupOrderBy int,
  CreateDatetime timestamp,
  CreateOperator varchar(20)
);

-- A small customer and order book for the tour.
create table if not exists Customers (
  Id int primary key,
  Name varchar(50) not null,
  City varchar(50),
  Credit float
);
create table if not exists Orders (
  Id int primary key,
  CustomerId int not null references Customers(Id),
  OrderedAt timestamp,
  Amount float not null
);

insert into Customers (Id, Name, City, Credit)
  select 1, 'Ada Lovelace', 'London', 1200.5 where not exists (select 1 from Customers where Id = 1);
insert into Customers (Id, Name, City, Credit)
  select 2, 'Blaise Pascal', 'Paris', 800 where not exists (select 1 from Customers where Id = 2);
insert into Orders (Id, CustomerId, OrderedAt, Amount)
  select 100, 1, '2024-03-01 10:30:00', 250.75 where not exists (select 1 from Orders where Id = 100);
